// Document bytes from bytes, str and buffer exporters.
#include "python/source.hpp"

#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>

#include "python/errors.hpp"
#include "python/mapped_file.hpp"
#include "python/unlocked.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

// Single unsigned bytes: no format, or "B"/"c" after an optional byte-order
// mark (any of them: byte order means nothing for single bytes).
bool is_byte_format(const char* format) noexcept {
  if (format == nullptr) return true;
  if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) ++format;
  return std::strcmp(format, "B") == 0 || std::strcmp(format, "c") == 0;
}

// Longer names than this are no file's (PATH_MAX on Linux).
constexpr size_t kMaxFileName = 4096;

// A str with no markup at all that names an existing file: a path meant as a file.
bool names_a_file(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();  // the read that follows reports it
    return false;
  }
  const auto n = static_cast<size_t>(size);
  if (n == 0 || n > kMaxFileName || std::memchr(data, '<', n) != nullptr ||
      std::memchr(data, '\0', n) != nullptr) {
    return false;
  }
  Ref name = Ref::steal(PyUnicode_EncodeFSDefault(text));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  struct stat info {};
  return stat(PyBytes_AsString(name.get()), &info) == 0;
}

}  // namespace

Ref open_document(const ModuleState& state, PyObject* data) noexcept {
  if (is_path_like(data, &state)) return map_file(state, data);
  if (PyUnicode_Check(data) && names_a_file(data)) {
    raise(Message::StrNamesFile);
    return {};
  }
  return Ref::borrow(data);
}

int SourceBytes::take_buffer(PyObject* exporter) noexcept {
  release();
  if (buffer_.acquire(exporter, PyBUF_FULL_RO) < 0) {
    PyErr_Clear();
    return -1;
  }
  const Py_buffer& view = buffer_.view();
  if (view.itemsize != 1 || !is_byte_format(view.format) || view.len < 0) {
    buffer_.release();
    return -1;
  }
  if (!PyBuffer_IsContiguous(&view, 'C')) {
    buffer_.release();
    raise(Message::BufferNotContiguous);
    return -2;
  }
  bytes_ = std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  immutable_ = is_immutable_source(exporter, &view, state_);
  // The memory of a bytearray or bytes is the heap's: no page of it can go missing.
  if (!PyByteArray_CheckExact(exporter) && !PyBytes_CheckExact(exporter)) {
    mapped_.guard(view.buf, bytes_.size(), !view.readonly);
  }
  return 0;
}

bool SourceBytes::acquire_buffer(PyObject* exporter) noexcept {
  const int status = take_buffer(exporter);
  if (status == -1) raise(Message::DataNotBuffer);
  return status == 0;
}

bool SourceBytes::acquire_str(PyObject* text) noexcept {
  release();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  bytes_ = std::string_view(data, static_cast<size_t>(size));
  is_str_ = true;
  immutable_ = is_immutable_source(text, nullptr);
  return true;
}

LabelCodec label_codec(const std::string& name) noexcept {
  // No codec has a NUL in its name (the lookup would see only the bytes before it).
  if (name.find('\0') != std::string::npos) return LabelCodec::Missing;
  // Only a codec that reads the declaration's ASCII as ASCII can be the one it names.
  static constexpr std::string_view kProbe = "<?xml version=\"1.0\" encoding=\"\"?>";
  Ref probe = Ref::steal(PyUnicode_Decode(kProbe.data(), static_cast<Py_ssize_t>(kProbe.size()),
                                          name.c_str(), "strict"));
  Ref expected = Ref::steal(
      probe ? PyUnicode_FromStringAndSize(kProbe.data(), static_cast<Py_ssize_t>(kProbe.size()))
            : nullptr);
  if (!probe || !expected) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return LabelCodec::Failed;
    PyErr_Clear();  // no such codec, or none for text
    return LabelCodec::Missing;
  }
  const int same = PyObject_RichCompareBool(probe.get(), expected.get(), Py_EQ);
  if (same < 0) return LabelCodec::Failed;
  return same == 0 ? LabelCodec::Contradicted : LabelCodec::Usable;
}

bool SourceBytes::decode_with_codec(std::string_view label, UnknownLabel unknown) noexcept {
  const std::string name(label);
  switch (label_codec(name)) {
    case LabelCodec::Failed: return false;
    case LabelCodec::Missing:  // the bytes are read as UTF-8
      if (unknown == UnknownLabel::ReadAsUtf8 || !check_utf8(bytes_)) return true;
      raise_unknown_encoding(name);
      return false;
    case LabelCodec::Contradicted: return true;  // read as UTF-8, as UTF-16's
    case LabelCodec::Usable: break;
  }
  // Bytes the codec cannot read become lone surrogates, and then bytes that are not UTF-8.
  Ref text = Ref::steal(PyUnicode_Decode(bytes_.data(), static_cast<Py_ssize_t>(bytes_.size()),
                                         name.c_str(), "surrogateescape"));
  Ref utf8 =
      Ref::steal(text ? PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass") : nullptr);
  if (!utf8) return false;
  try {
    document_.adopt(
        std::string(PyBytes_AsString(utf8.get()), static_cast<size_t>(PyBytes_Size(utf8.get()))));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  bytes_ = document_.bytes();
  release_buffer();
  immutable_ = true;
  return true;
}

bool SourceBytes::decode_document(UnknownLabel unknown) noexcept {
  if (is_str_) return true;
  const engine::DocumentEncoding found = engine::detect_document_encoding(bytes_);
  if (!found.other_label.empty()) return decode_with_codec(found.other_label, unknown);
  try {
    // Decoding reads the whole document as a pass does, so it may go without
    // the lock too; a UTF-8 document is only looked at, and keeps it.
    const bool unlock = UnlockedPass::would_release(immutable_, bytes_.size()) &&
                        found.encoding != xml::Encoding::Utf8;
    const UnlockedPass unlocked(unlock, bytes_.size());
    document_.load(bytes_, found);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (document_.is_copy()) {
    bytes_ = document_.bytes();
    release_buffer();   // the copy is all that is read from now on
    immutable_ = true;  // and no Python code can reach it
  }
  return true;
}

void SourceBytes::acquire_bytes(PyObject* bytes) noexcept {
  release();
  bytes_ = std::string_view(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes)));
  immutable_ = is_immutable_source(bytes, nullptr);
}

bool SourceBytes::acquire(PyObject* source) noexcept {
  if (PyBytes_Check(source)) {
    acquire_bytes(source);
    return true;
  }
  if (PyUnicode_Check(source)) return acquire_str(source);
  const int status = take_buffer(source);
  if (status == -1) raise(Message::DataNotSource);
  return status == 0;
}

}  // namespace varnex::python
