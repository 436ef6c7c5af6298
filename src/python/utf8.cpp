// UTF-8 checking and decoding with this module's error texts.
#include "python/utf8.hpp"

#include <cstring>
#include <string>

namespace varnex::python {
namespace {

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Allowed range of the second byte of a multi-byte sequence, by lead byte.
constexpr bool second_byte_ok(unsigned char lead, unsigned char b) noexcept {
  switch (lead) {
    case 0xE0:
      return b >= 0xA0 && b <= 0xBF;  // no overlongs
    case 0xED:
      return b >= 0x80 && b <= 0x9F;  // no surrogates
    case 0xF0:
      return b >= 0x90 && b <= 0xBF;  // no overlongs
    case 0xF4:
      return b >= 0x80 && b <= 0x8F;  // nothing above U+10FFFF
    default:
      return is_continuation(b);
  }
}

constexpr int sequence_width(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;  // stray continuation or overlong two-byte lead
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      i = ascii_run_end(p, i, n);
      if (i == n) break;
    }
    const unsigned char lead = p[i];
    const int width = sequence_width(lead);
    if (width == 0) return Utf8Error{i, 1};
    if (i + 1 >= n) return Utf8Error{i, 0};
    if (!second_byte_ok(lead, p[i + 1])) return Utf8Error{i, 1};
    for (int k = 2; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, 0};
      if (!is_continuation(p[i + k])) return Utf8Error{i, static_cast<uint8_t>(k)};
    }
    i += static_cast<size_t>(width);
  }
  return std::nullopt;
}

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
