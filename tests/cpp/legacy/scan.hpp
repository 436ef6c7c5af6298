// Byte scanners shared by the reader and its skip: character classes and
// vectorised searches. Internal to src/xml.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnex::legacy::detail {

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

// Bit i set where x has an odd number of set bits at or below i: applied to
// quote positions it marks the bytes inside quotes (opening quote included).
[[nodiscard]] inline uint32_t prefix_xor(uint32_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  return x;
}

// Bits above bit i (i may be 31).
[[nodiscard]] inline uint32_t above(unsigned i) noexcept { return i >= 31 ? 0u : ~0u << (i + 1); }

// The '>' that closes a start or end tag: quotes toggle wherever they appear.
// Works on 32-byte windows of '>', '"' and '\'' masks; a window with only one
// kind of quote is resolved without a branch per quote.
[[nodiscard]] inline const char* find_tag_end(const char* p, const char* end) noexcept {
  char in_quote = 0;
#if defined(__SSE2__)
  const __m128i gt_v = _mm_set1_epi8('>');
  const __m128i dq_v = _mm_set1_epi8('"');
  const __m128i sq_v = _mm_set1_epi8('\'');
  while (end - p >= 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    auto mask = [&](__m128i needle) {
      return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, needle))) |
             static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, needle))) << 16;
    };
    uint32_t gt = mask(gt_v);
    uint32_t dq = mask(dq_v);
    uint32_t sq = mask(sq_v);
    if (in_quote != 0) [[unlikely]] {
      const uint32_t close = in_quote == '"' ? dq : sq;
      if (close == 0) {
        p += 32;
        continue;
      }
      const uint32_t keep = above(static_cast<unsigned>(__builtin_ctz(close)));
      gt &= keep;
      dq &= keep;
      sq &= keep;
      in_quote = 0;
    }
    if (sq == 0 || dq == 0) [[likely]] {
      const uint32_t quotes = dq | sq;
      const uint32_t outside = gt & ~prefix_xor(quotes);
      if (outside != 0) return p + __builtin_ctz(outside);
      if (__builtin_popcount(quotes) & 1) in_quote = dq != 0 ? '"' : '\'';
      p += 32;
      continue;
    }
    // Both kinds of quote: walk the stops in order.
    for (;;) {
      const uint32_t stops = gt | dq | sq;
      if (stops == 0) break;
      const unsigned i = static_cast<unsigned>(__builtin_ctz(stops));
      const uint32_t bit = 1u << i;
      if (gt & bit) return p + i;
      const bool dquote = (dq & bit) != 0;
      const uint32_t close = (dquote ? dq : sq) & above(i);
      if (close == 0) {
        in_quote = dquote ? '"' : '\'';
        break;
      }
      const uint32_t keep = above(static_cast<unsigned>(__builtin_ctz(close)));
      gt &= keep;
      dq &= keep;
      sq &= keep;
    }
    p += 32;
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    if (in_quote != 0) {
      if (c == in_quote) in_quote = 0;
    } else if (c == '>') {
      return p;
    } else if (c == '"' || c == '\'') {
      in_quote = c;
    }
  }
  return nullptr;
}

// Bits at and above bit i of a 64-bit mask; i < 64 (an offset inside a window).
[[nodiscard]] inline uint64_t from_bit(size_t i) noexcept {
  assert(i < 64);
  return ~0ull << i;
}

// Bits above bit i (none for bit 63), without a branch.
[[nodiscard]] inline uint64_t above64(unsigned i) noexcept { return (~0ull << i) << 1; }

[[nodiscard]] inline uint64_t prefix_xor64(uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

struct Window;
// Whether full windows are classified with AVX2 (set with the block path).
extern std::atomic<bool> window_avx2;
void load_window_avx2(const char* p, Window* w) noexcept;

// Where '<', '>', '"' and '\'' sit in up to 64 bytes of input starting at
// `start`. Used by the skip so that each byte is classified once, however
// many tags share the window.
struct Window {
  size_t start = 0;
  size_t size = 0;  // valid bytes; past them every mask is zero
  uint64_t lt = 0;
  uint64_t gt = 0;
  uint64_t dq = 0;
  uint64_t sq = 0;

  void load(const char* base, size_t len, size_t at) noexcept {
    start = at;
    const char* p = base + at;
    size = len - at < 64 ? len - at : 64;
    alignas(16) char tail[64];
    if (size < 64) {
      // Near the end of input: classify a zero-padded copy (NUL matches nothing).
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, p, size);
      p = tail;
    }
    if (size == 64 && window_avx2.load(std::memory_order_relaxed)) {
      load_window_avx2(p, this);
      return;
    }
#if defined(__SSE2__)
    const __m128i lt_v = _mm_set1_epi8('<');
    const __m128i gt_v = _mm_set1_epi8('>');
    const __m128i dq_v = _mm_set1_epi8('"');
    const __m128i sq_v = _mm_set1_epi8('\'');
    lt = gt = dq = sq = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      const int shift = 16 * k;
      lt |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt_v))))
            << shift;
      gt |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, gt_v))))
            << shift;
      dq |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, dq_v))))
            << shift;
      sq |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, sq_v))))
            << shift;
    }
#else
    lt = gt = dq = sq = 0;
    for (size_t i = 0; i < 64; ++i) {
      const uint64_t bit = 1ull << i;
      if (p[i] == '<')
        lt |= bit;
      else if (p[i] == '>')
        gt |= bit;
      else if (p[i] == '"')
        dq |= bit;
      else if (p[i] == '\'')
        sq |= bit;
    }
#endif
  }
  [[nodiscard]] size_t end() const noexcept { return start + size; }
};

// The first '<' at or after `at`, loading windows as needed; npos at the end.
[[nodiscard]] inline size_t window_find_lt(Window& w, const char* base, size_t len,
                                           size_t at) noexcept {
  for (;;) {
    if (at - w.start >= w.size) {  // before the window too: the difference wraps
      if (at >= len) return static_cast<size_t>(-1);
      w.load(base, len, at);
    }
    const uint64_t m = w.lt & from_bit(at - w.start);
    if (m != 0) [[likely]]
      return w.start + static_cast<size_t>(__builtin_ctzll(m));
    at = w.end();
  }
}

// window_find_lt's twin for the quote-aware end of a tag; npos when unclosed.
[[nodiscard]] inline size_t window_find_tag_end(Window& w, const char* base, size_t len,
                                                size_t at) noexcept {
  char in_quote = 0;
  for (;;) {
    if (at - w.start >= w.size) {
      if (at >= len) return static_cast<size_t>(-1);
      w.load(base, len, at);
    }
    const uint64_t keep = from_bit(at - w.start);
    uint64_t gt = w.gt & keep;
    uint64_t dq = w.dq & keep;
    uint64_t sq = w.sq & keep;
    at = w.end();
    if (in_quote != 0) [[unlikely]] {
      const uint64_t close = in_quote == '"' ? dq : sq;
      if (close == 0) continue;
      const uint64_t rest = above64(static_cast<unsigned>(__builtin_ctzll(close)));
      gt &= rest;
      dq &= rest;
      sq &= rest;
      in_quote = 0;
    }
    if (gt != 0) {
      // No quote before the first '>': the common tag without attributes.
      const uint64_t first_gt = gt & (0 - gt);
      if (((dq | sq) & (first_gt - 1)) == 0) [[likely]]
        return w.start + static_cast<size_t>(__builtin_ctzll(gt));
    }
    if (sq == 0 || dq == 0) [[likely]] {
      const uint64_t quotes = dq | sq;
      const uint64_t outside = gt & ~prefix_xor64(quotes);
      if (outside != 0) return w.start + static_cast<size_t>(__builtin_ctzll(outside));
      if (__builtin_popcountll(quotes) & 1) in_quote = dq != 0 ? '"' : '\'';
      continue;
    }
    for (;;) {
      const uint64_t stops = gt | dq | sq;
      if (stops == 0) break;
      const unsigned i = static_cast<unsigned>(__builtin_ctzll(stops));
      const uint64_t bit = 1ull << i;
      if (gt & bit) return w.start + i;
      const bool dquote = (dq & bit) != 0;
      const uint64_t close = (dquote ? dq : sq) & above64(i);
      if (close == 0) {
        in_quote = dquote ? '"' : '\'';
        break;
      }
      const uint64_t rest = above64(static_cast<unsigned>(__builtin_ctzll(close)));
      gt &= rest;
      dq &= rest;
      sq &= rest;
    }
  }
}

// Where an end tag's name from `begin` ends when the ws before its '>' at `gt` is trimmed; a
// name made only of ws is kept whole.
[[nodiscard]] inline size_t end_name_end(const char* base, size_t begin, size_t gt) noexcept {
  size_t t = gt;
  while (t > begin && ws_byte(base[t - 1])) --t;
  return t > begin ? t : gt;
}

// Length of the leading run of non-ws bytes in [p, p+n) (a tag name).
// `limit` is how far it is safe to read (at least n): one vector covers the
// usual short name.
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

}  // namespace varnex::legacy::detail
