// UTF-8 decoding with this module's error texts.
#include "python/utf8.hpp"

namespace varnex::python {

void raise_utf8_error(const Utf8Error& error) noexcept {
  const auto index = static_cast<unsigned long long>(error.valid_up_to);
  if (error.error_len == 0) {
    PyErr_Format(PyExc_ValueError, "incomplete utf-8 byte sequence from index %llu", index);
  } else {
    PyErr_Format(PyExc_ValueError, "invalid utf-8 sequence of %d bytes from index %llu",
                 static_cast<int>(error.error_len), index);
  }
}

Ref decode_strict(std::string_view bytes) noexcept {
  if (auto error = check_utf8(bytes)) {
    raise_utf8_error(*error);
    return {};
  }
  return Ref::steal(
      PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Ref decode_lossy(std::string_view bytes) noexcept {
  return Ref::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

}  // namespace varnex::python
