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

// Bits at and above bit i of a 64-bit mask (none when i >= 64).
[[nodiscard]] inline uint64_t from_bit(size_t i) noexcept { return i >= 64 ? 0 : ~0ull << i; }

[[nodiscard]] inline uint64_t above64(unsigned i) noexcept {
  return i >= 63 ? 0 : ~0ull << (i + 1);
}

[[nodiscard]] inline uint64_t prefix_xor64(uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

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
    if (at >= w.end() || at < w.start) {
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
    if (at >= w.end() || at < w.start) {
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

// Marks of the bytes p[0..64) for counting a run of tags (bit i stands for
// p[i]), and the prefix parities the count needs: these do not depend on
// the state carried in from earlier blocks, so they can be worked out as
// soon as the bytes are loaded.
struct TagMarks {
  uint64_t lt = 0;
  uint64_t gt = 0;
  uint64_t dq = 0;
  uint64_t sq = 0;
  uint64_t slash = 0;
  uint64_t special = 0;       // '!' or '?': a '<' before one starts a construct of its own
  uint64_t first = 0;         // the first byte of the name being skipped
  uint64_t quote_parity = 0;  // prefix_xor64(dq | sq)
  uint64_t dq_parity = 0;
  uint64_t sq_parity = 0;
  // prefix_xor64 of the '<' and '>' outside quotes, for a block that starts
  // outside quotes and for one that starts inside.
  uint64_t tag_parity = 0;
  uint64_t tag_parity_quoted = 0;
};

inline void add_parities(TagMarks* m) noexcept {
  m->quote_parity = prefix_xor64(m->dq | m->sq);
  m->dq_parity = prefix_xor64(m->dq);
  m->sq_parity = prefix_xor64(m->sq);
  const uint64_t angles = m->lt | m->gt;
  m->tag_parity = prefix_xor64(angles & ~m->quote_parity);
  m->tag_parity_quoted = prefix_xor64(angles & m->quote_parity);
}

// Byte-at-a-time classification: the portable path and the tests' reference.
inline void classify_tags_scalar(const char* p, char first, TagMarks* m) noexcept {
  *m = TagMarks{};
  for (unsigned i = 0; i < 64; ++i) {
    const uint64_t bit = 1ull << i;
    const char c = p[i];
    if (c == '<') m->lt |= bit;
    if (c == '>') m->gt |= bit;
    if (c == '"') m->dq |= bit;
    if (c == '\'') m->sq |= bit;
    if (c == '/') m->slash |= bit;
    if (c == '!' || c == '?') m->special |= bit;
    if (c == first) m->first |= bit;
  }
  add_parities(m);
}

inline void classify_tags(const char* p, char first, TagMarks* m) noexcept {
#if defined(__SSE2__)
  const __m128i lt_v = _mm_set1_epi8('<');
  const __m128i gt_v = _mm_set1_epi8('>');
  const __m128i dq_v = _mm_set1_epi8('"');
  const __m128i sq_v = _mm_set1_epi8('\'');
  const __m128i slash_v = _mm_set1_epi8('/');
  const __m128i bang_v = _mm_set1_epi8('!');
  const __m128i question_v = _mm_set1_epi8('?');
  const __m128i first_v = _mm_set1_epi8(first);
  uint64_t lt = 0, gt = 0, dq = 0, sq = 0, slash = 0, special = 0, fst = 0;
  auto bits = [](__m128i x, int shift) {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(x))) << shift;
  };
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const int s = 16 * k;
    lt |= bits(_mm_cmpeq_epi8(v, lt_v), s);
    gt |= bits(_mm_cmpeq_epi8(v, gt_v), s);
    dq |= bits(_mm_cmpeq_epi8(v, dq_v), s);
    sq |= bits(_mm_cmpeq_epi8(v, sq_v), s);
    slash |= bits(_mm_cmpeq_epi8(v, slash_v), s);
    special |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, bang_v), _mm_cmpeq_epi8(v, question_v)), s);
    fst |= bits(_mm_cmpeq_epi8(v, first_v), s);
  }
  m->lt = lt;
  m->gt = gt;
  m->dq = dq;
  m->sq = sq;
  m->slash = slash;
  m->special = special;
  m->first = fst;
  add_parities(m);
#else
  classify_tags_scalar(p, first, m);
#endif
}

// State carried from one 64-byte block of a tag run to the next: quote and
// tag parities as all-ones or zero masks, the borrow of an end tag whose '>'
// lies ahead, and the top bits the next block looks back at.
struct TagRunCarry {
  uint64_t quote = 0;
  uint64_t dq = 0;
  uint64_t sq = 0;
  uint64_t tag = 0;
  uint64_t borrow = 0;
  uint64_t end_span_top = 0;
  uint64_t slash_top = 0;
  size_t open = 0;  // open elements, counted at each tag's '>'
};

struct TagBlock {
  unsigned stop = 64;   // first byte the tag-by-tag path must handle, 64 if none
  int last_close = -1;  // the last '>' before `stop` that ends a tag, -1 if none
};

[[nodiscard]] inline uint64_t all_if_top(uint64_t x) noexcept {
  return static_cast<uint64_t>(static_cast<int64_t>(x) >> 63);
}

// Counts the tags of block `m` (`next` is the block after it, for the
// bytes that follow a '<') until the first thing the tag-by-tag path must
// handle: a '<' inside a tag or a '>' in text, a quote in text, a value
// holding the other kind of quote, '<!' or '<?', a tag whose name starts
// with the target's first byte, or an end tag with no element open. Before
// that point a quote parity over both kinds and '<'/'>' alternation outside
// quotes describe the bytes exactly. Tags count at their '>', so a stop
// leaves `c->open` right for the bytes up to `last_close`; the rest of the
// carry is only meaningful when nothing stopped.
[[nodiscard, gnu::always_inline]] inline TagBlock run_tag_block(const TagMarks& m,
                                                                const TagMarks& next,
                                                                TagRunCarry* c) noexcept {
  const uint64_t quotes = m.dq | m.sq;
  const uint64_t in_quote = m.quote_parity ^ c->quote;
  const uint64_t in_dq = m.dq_parity ^ c->dq;
  const uint64_t in_sq = m.sq_parity ^ c->sq;
  const uint64_t lt = m.lt & ~in_quote;
  const uint64_t gt = m.gt & ~in_quote;
  // '<' up to the byte before '>'
  const uint64_t in_tag =
      (m.tag_parity ^ ((m.tag_parity ^ m.tag_parity_quoted) & c->quote)) ^ c->tag;
  uint64_t bad = (lt & ~in_tag) | (gt & in_tag) | (quotes & ~in_tag);
  // Parity over both kinds holds only while each value closes with its own kind.
  bad |= (in_dq | in_sq) ^ in_quote;
  const uint64_t slash_after = (m.slash >> 1) | (next.slash << 63);
  const uint64_t special_after = (m.special >> 1) | (next.special << 63);
  const uint64_t first_after = (m.first >> 1) | (next.first << 63);
  const uint64_t first_after2 = (m.first >> 2) | (next.first << 62);
  const uint64_t end_lt = lt & slash_after;
  const uint64_t start_lt = lt & ~end_lt;
  bad |= (lt & special_after) | (start_lt & first_after) | (end_lt & first_after2);

  // Each end tag's '<' borrows from its own '>' (perhaps in a later block):
  // the difference fills the end tags' spans.
  uint64_t d1 = 0, d2 = 0;
  const bool b1 = __builtin_sub_overflow(gt, end_lt, &d1);
  const bool b2 = __builtin_sub_overflow(d1, c->borrow, &d2);
  const uint64_t end_spans = d2 & ~gt;
  const uint64_t end_gt = gt & ((end_spans << 1) | c->end_span_top);
  const uint64_t slash_before = (m.slash << 1) | c->slash_top;
  const uint64_t start_gt = gt & ~end_gt & ~slash_before;  // '/>' of a start tag: empty

  uint64_t good = bad == 0 ? ~0ull : (bad & (0 - bad)) - 1;
  const size_t n_ends = static_cast<size_t>(__builtin_popcountll(end_gt & good));
  if (c->open <= n_ends) {
    // An end tag needs an element open before it.
    size_t seen = 0;
    for (uint64_t e = end_gt & good; e != 0; e &= e - 1, ++seen) {
      const uint64_t before = (e & (0 - e)) - 1;
      if (c->open + static_cast<size_t>(__builtin_popcountll(start_gt & before)) <= seen) {
        good = before;
        break;
      }
    }
  }
  TagBlock out;
  if (good != ~0ull) out.stop = static_cast<unsigned>(__builtin_ctzll(~good));
  const uint64_t closed = gt & good;
  if (closed != 0) out.last_close = 63 - __builtin_clzll(closed);
  c->open = c->open + static_cast<size_t>(__builtin_popcountll(start_gt & good)) -
            static_cast<size_t>(__builtin_popcountll(end_gt & good));
  c->quote = all_if_top(in_quote);
  c->dq = all_if_top(in_dq);
  c->sq = all_if_top(in_sq);
  c->tag = all_if_top(in_tag);
  c->borrow = static_cast<uint64_t>(b1 || b2);
  c->end_span_top = end_spans >> 63;
  c->slash_top = m.slash >> 63;
  return out;
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

}  // namespace varnex::xml::detail
