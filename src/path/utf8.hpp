// Small UTF-8 helpers shared by the path layer; no allocation, never reads past the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnex::path::utf8 {

struct Decoded {
  char32_t cp = 0;
  uint8_t len = 1;
  bool ok = false;
};

// Strict decoding of the sequence at s[i] (i < s.size()): overlongs, surrogates and values above
// U+10FFFF are invalid. An invalid sequence reports len 1 so callers can step over it byte by byte.
[[nodiscard]] constexpr Decoded decode(std::string_view s, size_t i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1, true};
  size_t need = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {b0, 1, false};
  }
  if (s.size() - i <= need) return {b0, 1, false};
  for (size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {b0, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {b0, 1, false};
  return {cp, static_cast<uint8_t>(need + 1), true};
}

[[nodiscard]] constexpr bool is_valid(std::string_view s) noexcept {
  size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const Decoded d = decode(s, i);
    if (!d.ok) return false;
    i += d.len;
  }
  return true;
}

// Lenient unit at s[i]: a valid code point, or a stray byte mapped above the Unicode range so it
// can only ever equal the same stray byte.
[[nodiscard]] constexpr Decoded unit(std::string_view s, size_t i) noexcept {
  Decoded d = decode(s, i);
  if (!d.ok) d.cp = 0x110000 + static_cast<unsigned char>(s[i]);
  return d;
}

}  // namespace varnex::path::utf8
