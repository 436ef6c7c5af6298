// UTF-8 decoding: strict and lossy.
#include "python/utf8.hpp"

namespace varnex::python {

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
