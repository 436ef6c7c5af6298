// Structural bitmaps of 64-byte blocks: where '<', '>', quotes, '/', '!' and
// '?' sit, which of them start and end tags, and how a stretch of ordinary
// tags moves the depth. The skip takes whole blocks with these; whatever an
// ordinary stretch cannot describe goes back to the tag-by-tag path.
// Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "legacy/scan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARNEX_LEGACY_HAS_AVX2_PATH 1
#endif

namespace varnex::legacy::detail {

// Bit i stands for byte i of the block.
struct BlockMarks {
  uint64_t lt = 0;
  uint64_t gt = 0;
  uint64_t quote = 0;    // '"' or '\''
  uint64_t dq = 0;       // '"'
  uint64_t slash = 0;
  // '!' or '?' (after '<' they start a construct of their own) or the first
  // byte of the name being skipped.
  uint64_t stopper = 0;
};

// Byte-at-a-time classification: the tests' reference.
inline void classify_scalar(const char* p, char first, BlockMarks* m) noexcept {
  *m = BlockMarks{};
  for (unsigned i = 0; i < 64; ++i) {
    const uint64_t bit = 1ull << i;
    const char c = p[i];
    if (c == '<') m->lt |= bit;
    if (c == '>') m->gt |= bit;
    if (c == '"' || c == '\'') m->quote |= bit;
    if (c == '"') m->dq |= bit;
    if (c == '/') m->slash |= bit;
    if (c == '!' || c == '?' || c == first) m->stopper |= bit;
  }
}

// The portable block: SSE2 where there is SSE2, bytes one by one elsewhere.
// The '<' mask comes first so that a block of text costs little more.
class PortableBlock {
 public:
  explicit PortableBlock(const char* p) noexcept : p_(p) {
#if defined(__SSE2__)
    for (int k = 0; k < 4; ++k) v_[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
#endif
  }

  [[nodiscard]] uint64_t lt() const noexcept {
#if defined(__SSE2__)
    return mask(_mm_set1_epi8('<'));
#else
    uint64_t m = 0;
    for (unsigned i = 0; i < 64; ++i) m |= static_cast<uint64_t>(p_[i] == '<') << i;
    return m;
#endif
  }

  [[nodiscard]] uint64_t gt() const noexcept {
#if defined(__SSE2__)
    return mask(_mm_set1_epi8('>'));
#else
    uint64_t m = 0;
    for (unsigned i = 0; i < 64; ++i) m |= static_cast<uint64_t>(p_[i] == '>') << i;
    return m;
#endif
  }

  // Everything but `lt` and `gt`.
  void rest(char first, BlockMarks* m) const noexcept {
#if defined(__SSE2__)
    const __m128i dq = _mm_set1_epi8('"');
    const __m128i sq = _mm_set1_epi8('\'');
    const __m128i bang = _mm_set1_epi8('!');
    const __m128i question = _mm_set1_epi8('?');
    const __m128i name = _mm_set1_epi8(first);
    uint64_t quote = 0, dqs = 0, stopper = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i d = _mm_cmpeq_epi8(v_[k], dq);
      const __m128i q = _mm_or_si128(d, _mm_cmpeq_epi8(v_[k], sq));
      const __m128i s = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v_[k], bang), _mm_cmpeq_epi8(v_[k], question)),
          _mm_cmpeq_epi8(v_[k], name));
      quote |= bits(q, 16 * k);
      dqs |= bits(d, 16 * k);
      stopper |= bits(s, 16 * k);
    }
    m->quote = quote;
    m->dq = dqs;
    m->stopper = stopper;
    m->slash = mask(_mm_set1_epi8('/'));
#else
    const uint64_t lt = m->lt, gt = m->gt;
    classify_scalar(p_, first, m);
    m->lt = lt;
    m->gt = gt;
#endif
  }

  // Whether the 64 bytes at p hold a '<'.
  [[nodiscard]] static bool has_lt(const char* p) noexcept {
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<');
    __m128i any = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lt);
    for (int k = 1; k < 4; ++k) {
      any = _mm_or_si128(
          any, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)), lt));
    }
    return _mm_movemask_epi8(any) != 0;
#else
    return std::memchr(p, '<', 64) != nullptr;
#endif
  }

  [[nodiscard]] static uint64_t prefix_xor(uint64_t x) noexcept { return prefix_xor64(x); }

  [[nodiscard]] static unsigned popcount(uint64_t x) noexcept {
    // Without a popcount instruction the builtin is a library call.
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
  }

 private:
#if defined(__SSE2__)
  [[nodiscard]] static uint64_t bits(__m128i x, int shift) noexcept {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(x))) << shift;
  }
  [[nodiscard]] uint64_t mask(__m128i needle) const noexcept {
    uint64_t m = 0;
    for (int k = 0; k < 4; ++k) m |= bits(_mm_cmpeq_epi8(v_[k], needle), 16 * k);
    return m;
  }
  __m128i v_[4];
#endif
  [[maybe_unused]] const char* p_;
};

// State carried from one block of a stretch to the next: 0 or 1 unless noted.
struct BlockCarry {
  uint64_t tag = 0;        // a tag runs on past the block (the borrow of its span)
  uint64_t quote = 0;      // all ones: inside a quoted value at the block's end
  uint64_t dq_value = 0;   // that value opened with '"'
  uint64_t end_tag = 0;    // the tag running on is an end tag
  // The previous block's '<', '/' of '</' and '/' masks, for the bits that
  // shift in at the bottom.
  uint64_t lt = 0;
  uint64_t close = 0;
  uint64_t slash = 0;
};

// The tags of a block as masks. Only the bits below the lowest bit of
// `stops` describe the bytes; from there on the tag-by-tag path decides.
struct BlockTags {
  uint64_t ends = 0;      // '>' ending a tag
  uint64_t starts = 0;    // '>' ending a start tag (not an empty-element one)
  uint64_t end_tags = 0;  // '>' ending an end tag
  uint64_t stops = 0;
  // The byte after '<' or '</' where it is a stopper: '<!', '<?' or a name
  // that starts like the one being skipped. Valid below the first stop.
  uint64_t names = 0;
};

// x one bit up, with the top bit of the block before at the bottom (one
// double-width shift).
[[nodiscard, gnu::always_inline]] inline uint64_t shift_in(uint64_t x, uint64_t before) noexcept {
  return (x << 1) | (before >> 63);
}

// x - y - borrow and x + y + carry, where carry and borrow are 0 or 1; the
// carry out is not needed.
[[nodiscard, gnu::always_inline]] inline uint64_t sub_borrow(uint64_t x, uint64_t y,
                                                             uint64_t borrow) noexcept {
#if defined(__x86_64__)
  unsigned long long out = 0;
  (void)_subborrow_u64(static_cast<unsigned char>(borrow), x, y, &out);
  return out;
#else
  return x - y - borrow;
#endif
}
[[nodiscard, gnu::always_inline]] inline uint64_t add_carry(uint64_t x, uint64_t y,
                                                            uint64_t carry) noexcept {
#if defined(__x86_64__)
  unsigned long long out = 0;
  (void)_addcarry_u64(static_cast<unsigned char>(carry), x, y, &out);
  return out;
#else
  return x + y + carry;
#endif
}

[[nodiscard]] inline uint64_t all_if_top(uint64_t x) noexcept {
  return static_cast<uint64_t>(static_cast<int64_t>(x) >> 63);
}

// Describes block `m` as a stretch of ordinary tags, given the state at its
// start. Before the first stop: every '<' starts a tag (none sits inside
// one), a tag ends at the first '>' after its '<' that is outside a quoted
// value, and each value closes with the kind of quote that opened it.
// Quotes, '>' and '/' in text are ordinary bytes. Stoppers after '<' are
// left in `names` for the caller to look at.
template <class Block>
[[nodiscard, gnu::always_inline]] inline BlockTags scan_block(const BlockMarks& m,
                                                              BlockCarry* c) noexcept {
  // Each '<' borrows from the next '>': the difference fills the tag's span.
  // A tag running on from the block before borrows at bit 0.
  const uint64_t span = sub_borrow(m.gt, m.lt, c->tag);
  const uint64_t in_tag = span & ~m.gt;
  BlockTags t;
  t.ends = m.gt & ~span;
  // A second '<' in a span borrows its bit away.
  uint64_t stops = m.lt & ~in_tag;

  // Quoted values: quotes inside tags toggle, from the opening quote up to the
  // closing one. Runs opened by '"', carried through by an add, must end
  // exactly at the '"' among the closing quotes.
  const uint64_t quotes = m.quote & in_tag;
  const uint64_t in_value = Block::prefix_xor(quotes) ^ c->quote;
  const uint64_t dq_runs = add_carry(in_value, m.dq & in_value, c->dq_value);
  stops |= (dq_runs ^ (quotes & m.dq)) & ~in_value;
  stops |= t.ends & in_value;  // a '>' inside a value does not end the tag

  const uint64_t after_lt = shift_in(m.lt, c->lt);
  const uint64_t close = after_lt & m.slash;  // the '/' of '</'
  t.names = (after_lt | shift_in(close, c->close)) & m.stopper;

  // End tags: an add carries each '/' of '</' to the end of its span. A
  // start tag's '>' after a '/' ends an empty-element tag.
  const uint64_t end_runs = add_carry(in_tag, close, c->end_tag);
  t.end_tags = end_runs & ~in_tag;
  t.starts = t.ends & ~(t.end_tags | shift_in(m.slash, c->slash));
  t.stops = stops;

  // What runs on past the top bit; the adds carried it out of the word.
  c->tag = in_tag >> 63;
  c->quote = all_if_top(in_value);
  c->dq_value = (in_value & ~dq_runs) >> 63;
  c->end_tag = (in_tag & ~end_runs) >> 63;
  c->lt = m.lt;
  c->close = close;
  c->slash = m.slash;
  return t;
}

// Every end tag needs an element open. Each run of start tags pairs with the
// end tag right after it; the other end tags, these, are the only ones that
// can bring the count of open elements below what it was before the block.
[[nodiscard, gnu::always_inline]] inline uint64_t unpaired_end_tags(const BlockTags& t) noexcept {
  return t.end_tags & ((t.ends ^ t.starts) - t.starts);
}

// The block's tags up to its first stop, or up to the first end tag that
// finds no element open, given `open` elements before the block: the bits
// of the block that the count covers.
template <class Block>
[[nodiscard]] inline uint64_t counted_part(const BlockTags& t, size_t open) noexcept {
  uint64_t good = (t.stops & (0 - t.stops)) - 1;
  if (Block::popcount(unpaired_end_tags(t) & good) <= open) return good;
  size_t seen = 0;
  for (uint64_t e = t.end_tags & good; e != 0; e &= e - 1, ++seen) {
    const uint64_t before = (e & (0 - e)) - 1;
    if (open + Block::popcount(t.starts & before) <= seen) return good & before;
  }
  return good;
}

// How far ahead of the block being classified its bytes are asked for (and
// further ahead, into the outer cache); a loop over text runs several times
// faster and asks further ahead.
inline constexpr size_t kPrefetchAhead = 512;
inline constexpr size_t kPrefetchFarAhead = 2048;
inline constexpr size_t kTextPrefetchAhead = 4096;

// The element being skipped: a tag with this name changes the depth that
// decides where the skip ends.
struct SkipTarget {
  std::string_view name;
  bool trim_end_names = true;  // end names lose trailing ws before they compare
  size_t depth = 0;            // elements of this name open inside the skipped one
};

// An end tag that ends the skip: its '<' and the bit of its '>'.
struct SkipEnd {
  size_t lt = 0;
  int gt_bit = -1;  // -1: none
};

// Looks at the tags in `names` below `good`, in order: '<!' and '<?' stop;
// a name equal to the target's moves its depth, and an end tag that closes
// the skipped element ends the skip. Returns the bits still counted.
[[gnu::always_inline]] inline uint64_t take_names(const char* base, size_t len, size_t block,
                                                  const BlockTags& t, uint64_t good,
                                                  SkipTarget* target, SkipEnd* found) noexcept {
  const std::string_view name = target->name;
  for (uint64_t c = t.names & good; c != 0; c &= c - 1) {
    const unsigned i = static_cast<unsigned>(__builtin_ctzll(c));
    const uint64_t before = (1ull << i) - 1;
    const size_t at = block + i;  // the name's first byte
    const bool is_end = base[at - 1] == '/';
    if (!is_end && (base[at] == '!' || base[at] == '?')) return good & before;
    const uint64_t gts = t.ends & good & ~(before | (1ull << i));
    if (gts == 0) return good & before;  // its '>' is in a later block
    const unsigned g = static_cast<unsigned>(__builtin_ctzll(gts));
    const size_t gt = block + g;
    size_t n = 0;
    if (is_end) {
      n = (target->trim_end_names ? end_name_end(base, at, gt) : gt) - at;
    } else if (base[gt - 1] == '/') {
      continue;  // empty elements never count
    } else {
      n = name_length(base + at, gt - at, len - at);
    }
    if (n != name.size() || std::memcmp(base + at, name.data(), n) != 0) continue;
    if (!is_end) {
      ++target->depth;
    } else if (target->depth == 0) {
      *found = SkipEnd{at - 2, static_cast<int>(g)};
      return good;
    } else {
      --target->depth;
    }
  }
  return good;
}

// Where a run of blocks stopped: what the tag-by-tag path resumes from.
struct BlockRunEnd {
  size_t pos = 0;     // just past the last tag counted (the start if none)
  size_t open = 0;    // open elements there
  size_t resume = 0;  // take tags one by one up to here before the next run
  // When the skip ended in the blocks: the '<' of the end tag that ended it
  // (`pos` is just past its '>'); npos otherwise.
  size_t end_lt = static_cast<size_t>(-1);
  // Then also the classes of the block that holds that end tag, for the
  // reads that follow.
  Window window;
};

// A block that starts in text and holds one or two short tags, each closed
// inside it, with no quote and no name that starts like the target's: its
// tags are counted from `lt` and `gt` alone. False, with nothing changed,
// when the block needs the full look.
[[gnu::always_inline]] inline bool take_sparse(const char* p, uint64_t lt, uint64_t gt, char first,
                                               size_t* open, size_t* end) noexcept {
  size_t count = *open;
  size_t past = 0;
  for (uint64_t rest = lt; rest != 0; rest &= rest - 1) {
    const unsigned i = static_cast<unsigned>(__builtin_ctzll(rest));
    const uint64_t up_to_lt = ~0ull >> (63 - i);
    const uint64_t later_gt = gt & ~up_to_lt;
    if (later_gt == 0) return false;
    const unsigned g = static_cast<unsigned>(__builtin_ctzll(later_gt));
    if (g - i > 16 || (lt & ~up_to_lt & ((1ull << g) - 1)) != 0) return false;
    const char* tag = p + i;
    const bool is_end = tag[1] == '/';
    if (tag[1] == '!' || tag[1] == '?' || tag[1 + is_end] == first) return false;
    for (unsigned k = 1; k < g - i; ++k) {
      if (tag[k] == '"' || tag[k] == '\'') return false;
    }
    if (is_end) {
      if (count == 0) return false;  // an end tag with nothing open
      --count;
    } else if (tag[g - i - 1] != '/') {
      ++count;
    }
    past = g + 1;
  }
  *open = count;
  *end = past;
  return true;
}

// Counts the tags of whole blocks from `pos` (in text, with at least 64 bytes
// after it) into `open`, until the skipped element ends, a block stops, or
// fewer than 64 bytes are left.
template <class Block>
[[gnu::always_inline]] inline BlockRunEnd skip_blocks_with(const char* base, size_t len,
                                                           size_t pos, size_t open,
                                                           SkipTarget* target) noexcept {
  size_t last = pos;  // just past the last tag counted, or in text
  BlockCarry c;
  const char first = target->name.front();
  size_t block = pos;
  for (; len - block >= 64; block += 64) {
    // The hardware's own prefetch does not run far enough ahead of this loop.
    __builtin_prefetch(base + block + kPrefetchAhead);
    __builtin_prefetch(base + block + kPrefetchFarAhead, 0, 2);
    const Block b(base + block);
    BlockMarks m;
    m.lt = b.lt();
    // Text: no tag starts, none runs on. Long text goes by in a loop of its own.
    if ((m.lt | c.tag) == 0) {
      do {
        block += 64;
        __builtin_prefetch(base + block + kTextPrefetchAhead);
      } while (len - block >= 64 && !Block::has_lt(base + block));
      last = block;
      block -= 64;  // the loop steps on to the block with the '<'
      continue;
    }
    m.gt = b.gt();
    // Mostly text: a tag or two.
    const uint64_t but_one = m.lt & (m.lt - 1);
    size_t end = 0;
    if (c.tag == 0 && (but_one & (but_one - 1)) == 0 &&
        take_sparse(base + block, m.lt, m.gt, first, &open, &end)) {
      last = block + end;
      continue;
    }
    b.rest(first, &m);
    const BlockTags t = scan_block<Block>(m, &c);
    if ((t.stops | t.names) != 0 || Block::popcount(unpaired_end_tags(t)) > open) [[unlikely]] {
      SkipEnd found;
      const uint64_t good =
          take_names(base, len, block, t, counted_part<Block>(t, open), target, &found);
      if (good != ~0ull || found.gt_bit >= 0) {
        // Up to the end tag that ends the skip, or up to the stop.
        const uint64_t counted = found.gt_bit >= 0 ? ~0ull >> (63 - found.gt_bit) : good;
        open = open + Block::popcount(t.starts & counted) -
               Block::popcount(t.end_tags & counted);
        const uint64_t ends = t.ends & counted;
        if (ends != 0) last = block + static_cast<size_t>(64 - __builtin_clzll(ends));
        if (found.gt_bit >= 0) {
          BlockRunEnd end{last, open, last, found.lt, {}};
          end.window.start = block;
          end.window.size = 64;
          end.window.lt = m.lt;
          end.window.gt = m.gt;
          end.window.dq = m.dq;
          end.window.sq = m.quote & ~m.dq;
          return end;
        }
        size_t resume = block + static_cast<size_t>(__builtin_ctzll(~good)) + 1;
        // Little progress: take a block's worth of tags one by one first.
        if (last - pos < 64 && resume < pos + 64) resume = pos + 64;
        return BlockRunEnd{last, open, resume, static_cast<size_t>(-1), {}};
      }
    }
    open = open + Block::popcount(t.starts) - Block::popcount(t.end_tags);
    if (t.ends != 0) last = block + static_cast<size_t>(64 - __builtin_clzll(t.ends));
  }
  return BlockRunEnd{last, open, block, static_cast<size_t>(-1), {}};
}

template <class Block>
[[gnu::always_inline]] inline size_t find_lt_with(const char* base, size_t len,
                                                  size_t at) noexcept {
  for (; len - at >= 64; at += 64) {
    __builtin_prefetch(base + at + kTextPrefetchAhead);
    if (Block::has_lt(base + at)) {
      return at + static_cast<size_t>(__builtin_ctzll(Block(base + at).lt()));
    }
  }
  const void* p = at < len ? std::memchr(base + at, '<', len - at) : nullptr;
  return p == nullptr ? static_cast<size_t>(-1)
                      : static_cast<size_t>(static_cast<const char*>(p) - base);
}

// A block's tags for a caller that looks at each of them.
struct ScannedBlock {
  uint64_t lt = 0;  // '<' starting tags (below the first stop)
  BlockTags tags;
};

// Scans up to `n` whole blocks from `at`, with `c` the state there, into
// `out`; ends after the first block that stops. Returns the blocks written.
// '!' and '?' after '<' stop; no name does.
template <class Block>
[[gnu::always_inline]] inline size_t scan_blocks_with(const char* base, size_t len, size_t at,
                                                      BlockCarry* c, ScannedBlock* out,
                                                      size_t n) noexcept {
  size_t i = 0;
  while (i < n && len - at >= 64) {
    __builtin_prefetch(base + at + kPrefetchAhead);
    __builtin_prefetch(base + at + kPrefetchFarAhead, 0, 2);
    const Block b(base + at);
    BlockMarks m;
    m.lt = b.lt();
    ScannedBlock& o = out[i++];
    at += 64;
    if ((m.lt | c->tag) == 0) {
      o = ScannedBlock{};
      continue;
    }
    m.gt = b.gt();
    b.rest('!', &m);
    o.lt = m.lt;
    o.tags = scan_block<Block>(m, c);
    o.tags.stops |= o.tags.names;  // only '<!' and '<?' here
    if (o.tags.stops != 0) break;
  }
  return i;
}

// Which classifier the block paths use. Chosen once from the processor;
// tests and benchmarks pin one to compare the two.
enum class BlockPath : uint8_t { Portable, Avx2 };

[[nodiscard]] bool avx2_usable() noexcept;
[[nodiscard]] BlockPath block_path() noexcept;
// Ignored for Avx2 where avx2_usable() is false.
void set_block_path(BlockPath path) noexcept;

[[nodiscard]] BlockRunEnd skip_blocks(const char* base, size_t len, size_t pos, size_t open,
                                      SkipTarget* target) noexcept;
[[nodiscard]] size_t scan_blocks(const char* base, size_t len, size_t at, BlockCarry* c,
                                 ScannedBlock* out, size_t n) noexcept;
// The first '<' at or after `at`, npos if none: whole blocks at a time.
[[nodiscard]] size_t find_lt(const char* base, size_t len, size_t at) noexcept;
[[nodiscard]] BlockRunEnd skip_blocks_portable(const char* base, size_t len, size_t pos,
                                               size_t open, SkipTarget* target) noexcept;
#if defined(VARNEX_LEGACY_HAS_AVX2_PATH)
// Only where avx2_usable().
[[nodiscard]] BlockRunEnd skip_blocks_avx2(const char* base, size_t len, size_t pos, size_t open,
                                           SkipTarget* target) noexcept;
void classify_avx2(const char* p, char first, BlockMarks* m) noexcept;
#endif

}  // namespace varnex::legacy::detail
