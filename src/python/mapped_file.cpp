// The file map behind os.PathLike documents: a small buffer exporter owning one mmap.
#include "python/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "python/messages.hpp"

namespace varnex::python {
namespace {

struct MappedFileObject {
  PyObject ob_base;  // PyObject_HEAD
  void* data;        // null for an empty file (nothing to map)
  size_t size;
};

MappedFileObject* as_mapped(PyObject* self) noexcept {
  return reinterpret_cast<MappedFileObject*>(self);
}

char g_empty[1] = {0};

int MappedFile_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  MappedFileObject* file = as_mapped(self);
  void* data = file->data != nullptr ? file->data : g_empty;
  // Read-only: a request for a writable view fails with BufferError.
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(file->size), 1, flags);
}

void MappedFile_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  MappedFileObject* file = as_mapped(self);
  if (file->data != nullptr) munmap(file->data, file->size);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyType_Slot kMappedFileSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(MappedFile_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(MappedFile_getbuffer)},
    {Py_tp_doc, const_cast<char*>("The read-only map of a file a document was read from.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec kMappedFileSpec = {
    "varnex._varnex.MappedFile",
    sizeof(MappedFileObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kMappedFileSlots,
};

namespace {

// Closes a descriptor on every way out.
struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

void raise_os_error(int error, PyObject* name) noexcept {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
}

}  // namespace

bool is_path_like(PyObject* data, const ModuleState* state) noexcept {
  if (PyUnicode_Check(data) || PyBytes_Check(data)) return false;
  // The protocol is looked up on the type, as os.fspath does.
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(data));
  if (state != nullptr) return PyObject_HasAttr(type, state->name(Name::Fspath)) == 1;
  return PyObject_HasAttrString(type, "__fspath__") == 1;
}

Ref map_file(const ModuleState& state, PyObject* path) noexcept {
  // The name as the file system spells it (str names are encoded, bytes names kept).
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path, &encoded) == 0) return {};
  Ref name = Ref::steal(encoded);
  Ref shown = Ref::steal(PyOS_FSPath(path));  // the name in messages, as the caller gave it
  if (!shown) return {};
  FileDescriptor file;
  struct stat info {};
  int error = 0;
  Py_BEGIN_ALLOW_THREADS file.fd = open(PyBytes_AsString(name.get()), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0 || fstat(file.fd, &info) != 0) error = errno;
  Py_END_ALLOW_THREADS if (error != 0) {
    raise_os_error(error, shown.get());
    return {};
  }
  if (S_ISDIR(info.st_mode)) {
    raise_os_error(EISDIR, shown.get());
    return {};
  }
  if (!S_ISREG(info.st_mode)) {
    raise_not_regular_file(shown.get());
    return {};
  }
  void* data = nullptr;
  const auto size = static_cast<size_t>(info.st_size);
  if (size > 0) {
    data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (data == MAP_FAILED) {
      raise_os_error(errno, shown.get());
      return {};
    }
  }
  PyObject* self = alloc_instance(state.type(Class::MappedFile));
  if (self == nullptr) {
    if (data != nullptr) munmap(data, size);
    return {};
  }
  as_mapped(self)->data = data;
  as_mapped(self)->size = size;
  return Ref::steal(self);
}

bool is_mapped_file(PyObject* obj) noexcept { return has_dealloc(obj, MappedFile_dealloc); }

}  // namespace varnex::python
