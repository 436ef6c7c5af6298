// UTF-8 read strictly (no overlongs, surrogates, values above U+10FFFF, or truncated
// sequences): the one reading every layer shares. Header-only and below every layer; never
// reads past the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnex::utf8 {

// Length of the leading run of ASCII bytes of s[0, n).
[[nodiscard]] inline size_t ascii_prefix(const unsigned char* s, size_t n) noexcept {
  size_t i = 0;
#if defined(__SSE2__)
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (mask != 0) return i + __builtin_ctz(mask);
    i += 16;
  }
#endif
  while (n - i >= 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  if (i < n && n >= 8 && n - i < 8) {
    // The last few bytes: one word that ends at the end (short values are mostly ASCII).
    uint64_t w;
    std::memcpy(&w, s + n - 8, 8);
    if ((w & 0x8080808080808080ull) == 0) return n;
  }
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

// The length of the well-formed sequence that starts at s[0] (a byte of 0x80 or more), with n
// bytes readable, and its code point; 0 when there is none (a stray or overlong byte, a
// surrogate, a value above U+10FFFF, a sequence cut short).
[[nodiscard]] constexpr size_t sequence(const unsigned char* s, size_t n, uint32_t* cp) noexcept {
  const unsigned c = s[0];
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  size_t len = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) {
      lo = 0xA0;  // overlong
    } else if (c == 0xED) {
      hi = 0x9F;  // surrogates
    }
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) {
      lo = 0x90;  // overlong
    } else if (c == 0xF4) {
      hi = 0x8F;  // above U+10FFFF
    }
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  uint32_t v = c & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    v = v << 6 | (s[k] & 0x3Fu);
  }
  *cp = v;
  return len;
}

// One code point read at s[i] (i < s.size()); an invalid sequence reads as one byte, not ok.
struct Decoded {
  char32_t cp = 0;
  uint8_t len = 1;
  bool ok = false;
};
[[nodiscard]] inline Decoded decode(std::string_view s, size_t i) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  if (*p < 0x80) return {*p, 1, true};
  uint32_t cp = 0;
  const size_t len = sequence(p, s.size() - i, &cp);
  if (len == 0) return {*p, 1, false};
  return {cp, static_cast<uint8_t>(len), true};
}

// Where and how a byte string stops being UTF-8.
struct Error {
  size_t valid_up_to = 0;  // valid bytes before the fault
  uint8_t error_len = 0;   // 1..3: the maximal invalid subsequence; 0: input ends inside one
};

// Where and how the sequence at s[i], which `sequence` refused, goes wrong: the length of the
// maximal invalid subsequence there (at least 1), or 0 when the input ends inside it.
[[nodiscard]] constexpr Error error_at(const unsigned char* s, size_t i, size_t n) noexcept {
  const auto continues = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  const unsigned char lead = s[i];
  const int width = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (width == 0) return {i, 1};
  if (i + 1 >= n) return {i, 0};
  const unsigned char second = s[i + 1];
  const bool second_ok = lead == 0xE0   ? second >= 0xA0 && second <= 0xBF
                         : lead == 0xED ? second >= 0x80 && second <= 0x9F
                         : lead == 0xF0 ? second >= 0x90 && second <= 0xBF
                         : lead == 0xF4 ? second >= 0x80 && second <= 0x8F
                                        : continues(second);
  if (!second_ok) return {i, 1};
  for (int k = 2; k < width; ++k) {
    if (i + k >= n) return {i, 0};
    if (!continues(s[i + k])) return {i, static_cast<uint8_t>(k)};
  }
  return {i, 1};  // not reached: `sequence` accepts every such sequence
}

// Nothing when `bytes` are UTF-8, else where they stop being so.
[[nodiscard]] inline std::optional<Error> check(std::string_view bytes) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  for (;;) {
    i += ascii_prefix(s + i, n - i);
    if (i == n) return std::nullopt;
    uint32_t cp = 0;
    const size_t len = sequence(s + i, n - i, &cp);
    if (len == 0) return error_at(s, i, n);
    i += len;
  }
}

[[nodiscard]] inline bool is_valid(std::string_view bytes) noexcept {
  return !check(bytes).has_value();
}

}  // namespace varnex::utf8
