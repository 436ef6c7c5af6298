// Byte scanners shared by the reader and its skip: character classes and
// vectorised searches. Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnex::xml::detail {

// One 256-entry class table. Bits:
enum : uint8_t {
  kClassWs = 1,      // space, tab, LF, CR: the only whitespace anywhere in the reader
  kClassTagStop = 2  // '>', '"', '\'': the bytes the tag scanner reacts to
};

struct ClassTable {
  uint8_t bits[256] = {};
  constexpr ClassTable() {
    bits[static_cast<unsigned char>(' ')] |= kClassWs;
    bits[static_cast<unsigned char>('\t')] |= kClassWs;
    bits[static_cast<unsigned char>('\n')] |= kClassWs;
    bits[static_cast<unsigned char>('\r')] |= kClassWs;
    bits[static_cast<unsigned char>('>')] |= kClassTagStop;
    bits[static_cast<unsigned char>('"')] |= kClassTagStop;
    bits[static_cast<unsigned char>('\'')] |= kClassTagStop;
  }
};
inline constexpr ClassTable kClasses{};

[[nodiscard]] inline bool ws_byte(char c) noexcept {
  return (kClasses.bits[static_cast<unsigned char>(c)] & kClassWs) != 0;
}

// First '>', '"' or '\'' in [p, end), or nullptr.
[[nodiscard]] inline const char* find_tag_stop(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i gt = _mm_set1_epi8('>');
  const __m128i dq = _mm_set1_epi8('"');
  const __m128i sq = _mm_set1_epi8('\'');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, gt), _mm_cmpeq_epi8(v, dq)),
                                     _mm_cmpeq_epi8(v, sq));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    if (kClasses.bits[static_cast<unsigned char>(*p)] & kClassTagStop) return p;
  }
  return nullptr;
}

// First `c` in [p, end), or nullptr. Short distances are the common case
// (attribute values, the next tag), so try one vector before calling memchr.
[[nodiscard]] inline const char* find_byte(const char* p, const char* end, char c) noexcept {
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  if (p >= end) return nullptr;
  return static_cast<const char*>(std::memchr(p, c, static_cast<size_t>(end - p)));
}

// The '>' that closes a start or end tag: quotes toggle wherever they appear.
[[nodiscard]] inline const char* find_tag_end(const char* p, const char* end) noexcept {
  for (;;) {
    p = find_tag_stop(p, end);
    if (p == nullptr) [[unlikely]]
      return nullptr;
    if (*p == '>') [[likely]]
      return p;
    const char* close = find_byte(p + 1, end, *p);
    if (close == nullptr) [[unlikely]]
      return nullptr;
    p = close + 1;
  }
}

// Length of the leading run of non-ws bytes (a tag name).
[[nodiscard]] inline size_t name_length(const char* p, size_t n) noexcept {
  size_t i = 0;
  while (i < n && !ws_byte(p[i])) ++i;
  return i;
}

}  // namespace varnex::xml::detail
