// The reader's rules for bytes and markup, each written once: which bytes are whitespace, where
// a tag ends (quote-aware), where each construct ends, how long a tag's name is, what an end
// tag's name is. The structural index follows them 64 bytes at a time and comes here for
// whatever its bitmaps cannot decide. Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "xml/error.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnex::xml::detail {

inline constexpr size_t kNpos = static_cast<size_t>(-1);

// One 256-entry class table. Bits:
enum : uint8_t {
  kClassWs = 1,  // space, tab, LF, CR: the only whitespace anywhere in the reader
};

struct ClassTable {
  uint8_t bits[256] = {};
  constexpr ClassTable() {
    bits[static_cast<unsigned char>(' ')] |= kClassWs;
    bits[static_cast<unsigned char>('\t')] |= kClassWs;
    bits[static_cast<unsigned char>('\n')] |= kClassWs;
    bits[static_cast<unsigned char>('\r')] |= kClassWs;
  }
};
inline constexpr ClassTable kClasses{};

[[nodiscard]] inline bool ws_byte(char c) noexcept {
  return (kClasses.bits[static_cast<unsigned char>(c)] & kClassWs) != 0;
}

// First `c` in [p, end), or nullptr. Short distances are the common case, so one vector is
// tried before memchr.
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

// Bit i set where x has an odd number of set bits at or below i.
[[nodiscard]] inline uint64_t prefix_xor64(uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// The '>' that closes a start or end tag whose bytes after '<' begin at p: the first '>'
// outside quoted values, where a quote of either kind opens a value wherever it stands and only
// the same kind closes it. nullptr when the tag is never closed.
[[nodiscard]] const char* find_tag_end(const char* p, const char* end) noexcept;

// find_tag_end for a tag expected to be short (a name alone): the first '>' when no quote comes
// before it, sixteen bytes at once (or byte by byte when fewer are left), which costs less over
// a few bytes than find_tag_end's sweep.
[[nodiscard]] inline const char* find_short_tag_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto gt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('>'))));
    const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')))));
    // The first '>' with no quote before it; else the sweep.
    if (gt != 0 && (quotes & ((gt & (0 - gt)) - 1)) == 0) return p + __builtin_ctz(gt);
    return find_tag_end(p, end);
  }
#endif
  for (const char* q = p; q < end; ++q) {
    if (*q == '>') return q;
    if (*q == '"' || *q == '\'') return find_tag_end(p, end);
  }
  return nullptr;
}

// Where the ws before an end tag's '>' at `gt` ends the name that starts at `begin`; a name
// made only of ws is kept whole.
[[nodiscard]] inline size_t end_name_end(const char* base, size_t begin, size_t gt) noexcept {
  size_t t = gt;
  while (t > begin && ws_byte(base[t - 1])) --t;
  return t > begin ? t : gt;
}

// a[0..n) == b[0..n), where `room` bytes can be read from both: one word covers the usual short
// name (a call to memcmp costs more than the compare).
[[nodiscard, gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, size_t n,
                                                         size_t room) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (n <= 8 && room >= 8) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    const uint64_t keep = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
    return ((x ^ y) & keep) == 0;  // the first bytes are the low ones
  }
#else
  (void)room;
#endif
  return std::memcmp(a, b, n) == 0;
}

// A tag's name at `from` is `name` or may be: its bytes (`name` is a view into the input before
// `from`), then what can end a name there ('>', '/' or ws). from + name.size() < len.
[[nodiscard, gnu::always_inline]] inline bool named_at(const char* base, size_t len, size_t from,
                                                       std::string_view name) noexcept {
  const size_t n = name.size();
  if (!same_bytes(base + from, name.data(), n, len - from)) return false;
  const char next = base[from + n];
  return next == '>' || next == '/' || ws_byte(next);
}

// Length of the leading run of non-ws bytes in [p, p+n): a tag's name. `limit` is how far it is
// safe to read (at least n): one vector covers the usual short name.
[[nodiscard]] inline size_t name_length(const char* p, size_t n, size_t limit) noexcept {
#if defined(__SSE2__)
  if (limit >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Bytes <= 0x20 are candidates; ws is among them.
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(low));
    if (mask != 0) {
      const size_t i = static_cast<size_t>(__builtin_ctz(mask));
      if (i >= n) return n;
      if (ws_byte(p[i])) [[likely]] {
        return i;
      }
    } else if (n <= 16) {
      return n;
    }
  }
#else
  (void)limit;
#endif
  size_t i = 0;
  while (i < n && !ws_byte(p[i])) ++i;
  return i;
}

// Where the markup whose '<' is at `lt` ends, by the rules of the construct it opens (the byte
// after '<' picks it: '!' a comment, CDATA section or DOCTYPE, '?' a processing instruction or
// declaration, anything else a start or end tag): `gt` is its closing '>'; or the fatal error it
// is, after which the reader stands at `pos`.
struct MarkupEnd {
  size_t gt = 0;
  ErrorKind error = ErrorKind::None;
  size_t pos = 0;
};
[[nodiscard]] MarkupEnd markup_end(const char* base, size_t len, size_t lt) noexcept;

}  // namespace varnex::xml::detail
