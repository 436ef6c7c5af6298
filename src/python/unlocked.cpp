// Which sources a pass may read without the interpreter lock, and the release itself.
#include "python/unlocked.hpp"

#include <cassert>

#include "python/ref.hpp"

namespace varnex::python {
namespace {

// Whether the memory of `view` lies inside `bytes`'s own storage, which never changes.
bool is_inside_bytes(PyObject* bytes, const Py_buffer& view) noexcept {
  const char* data = PyBytes_AsString(bytes);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  const auto* begin = static_cast<const char*>(view.buf);
  return begin >= data && view.len >= 0 && view.len <= PyBytes_Size(bytes) - (begin - data);
}

// The mmap class when that module is loaded (an mmap cannot exist otherwise);
// returns a new reference or nothing, with no exception set.
Ref loaded_mmap_type() noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("mmap"));
  Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
  Ref type = Ref::steal(module ? PyObject_GetAttrString(module.get(), "mmap") : nullptr);
  PyErr_Clear();
  return type;
}

// A map opened for reading only: its memory cannot be written from this
// process, and while a view is held it can be neither closed nor resized.
// Only the class itself: a subclass may hand out any memory as its buffer.
bool is_read_only_mmap(PyObject* obj) noexcept {
  const Ref type = loaded_mmap_type();
  if (!type || reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type.get()) return false;
  BufferGuard writable;
  if (writable.acquire(obj, PyBUF_WRITABLE) == 0) return false;
  PyErr_Clear();
  return true;
}

}  // namespace

bool is_immutable_source(PyObject* source, const Py_buffer* view) noexcept {
  if (view == nullptr) return PyBytes_Check(source) || PyUnicode_Check(source);
  // A read-only flag only says that this view may not write: the owner of
  // the memory, found through any memoryviews, must be one that never does.
  if (!view->readonly) return false;
  PyObject* owner = source;
  Ref base;
  if (PyMemoryView_Check(source)) {
    base = Ref::steal(PyObject_GetAttrString(source, "obj"));
    if (!base) {
      PyErr_Clear();
      return false;
    }
    owner = base.get();
  }
  if (PyBytes_Check(owner)) return is_inside_bytes(owner, *view);
  return is_read_only_mmap(owner);
}

UnlockedPass::UnlockedPass(bool immutable, size_t size) noexcept {
  assert(!pass_unlocked_here() && "passes do not nest");
  if (!immutable || size < kUnlockedPassMinBytes) return;
  saved_ = PyEval_SaveThread();
  detail::t_pass_unlocked = true;
}

UnlockedPass::~UnlockedPass() {
  if (saved_ == nullptr) return;
  detail::t_pass_unlocked = false;
  PyEval_RestoreThread(saved_);
}

}  // namespace varnex::python
