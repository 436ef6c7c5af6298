// Stage 1, written once over a classifier type: the kernels in index.cpp and index_avx2.cpp
// instantiate it with their own. Include it only there, inside an unnamed namespace's reach:
// every function here is inline and takes the classifier as a template argument, so each
// instantiation is compiled for its own instruction set.
#pragma once

#include <cstring>

#include "xml/index.hpp"
#include "xml/markup.hpp"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace varnex::xml::detail {

// Where '<', '>', quotes and '!' or '?' sit in one 64-byte block: bit i is byte i.
struct RawMarks {
  uint64_t lt = 0;
  uint64_t gt = 0;
  uint64_t quote = 0;  // '"' or '\''
  uint64_t dq = 0;     // '"'
  uint64_t bang = 0;   // '!' or '?'
};

// x - y - borrow and x + y + carry with borrow and carry 0 or 1; the carry out is dropped.
[[nodiscard, gnu::always_inline]] inline uint64_t index_sub_borrow(uint64_t x, uint64_t y,
                                                                   uint64_t borrow) noexcept {
#if defined(__x86_64__)
  unsigned long long out = 0;
  (void)_subborrow_u64(static_cast<unsigned char>(borrow), x, y, &out);
  return out;
#else
  return x - y - borrow;
#endif
}
[[nodiscard, gnu::always_inline]] inline uint64_t index_add_carry(uint64_t x, uint64_t y,
                                                                  uint64_t carry) noexcept {
#if defined(__x86_64__)
  unsigned long long out = 0;
  (void)_addcarry_u64(static_cast<unsigned char>(carry), x, y, &out);
  return out;
#else
  return x + y + carry;
#endif
}

// Indexes blocks from s.block on. In each block, while its tags are ordinary, the bitmaps decide
// everything: every '<' in text starts a tag, which ends at the first '>' after it outside a
// quoted value, and each value closes with the kind of quote that opened it; quotes and '>' in
// text are ordinary bytes. The first thing they cannot describe (a '<' or '>' inside a tag or a
// value, quotes that do not pair, '<!' or '<?') stops them: that markup is resolved by the rules
// of markup_end, and the bitmaps go on after it.
template <class Classifier>
[[gnu::always_inline]] inline size_t index_blocks(Index::State& s, IndexBlock* out,
                                                  size_t cap) noexcept {
  const char* const base = s.base;
  const size_t len = s.len;
  size_t block = s.block;
  size_t from = s.from;
  size_t ahead = s.gt;  // a '>' resolved past the block it was found in
  IndexCarry c = s.carry;
  size_t n = 0;
  alignas(64) char tail[64];
  while (block < len && n < cap) {
    const char* p = base + block;
    const size_t room = len - block;
    char after = 0;  // the byte after the block
    if (room < 64) {
      // The last bytes: classify a zero-padded copy (NUL matches nothing).
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, p, room);
      p = tail;
    } else if (room > 64) {
      after = base[block + 64];
    }
    RawMarks m = Classifier::classify(p);
    // The '<' whose next byte is '!' or '?'.
    uint64_t bang_lt =
        m.lt & ((m.bang >> 1) | (static_cast<uint64_t>(after == '!' || after == '?') << 63));
    uint64_t bits = 0;  // what the block's entry will hold
    if (from > block) {
      const uint64_t keep = from - block < 64 ? ~0ull << (from - block) : 0;
      m.lt &= keep;
      m.gt &= keep;
      m.quote &= keep;
      m.dq &= keep;
      bang_lt &= keep;
      if (ahead - block < 64) {
        bits = 1ull << (ahead - block);
        ahead = static_cast<size_t>(-1);
      }
    }
    for (;;) {
      // Each '<' borrows from the next '>': the difference fills the tag's span. A tag running
      // on from the block before borrows at bit 0.
      const uint64_t span = index_sub_borrow(m.gt, m.lt, c.tag);
      const uint64_t in_tag = span & ~m.gt;
      const uint64_t ends = m.gt & ~span;
      const uint64_t starts = m.lt & in_tag;  // a second '<' in a span borrows its bit away
      // Quoted values: quotes inside tags toggle. Runs opened by '"', carried through by an
      // add, must end exactly at the '"' among the closing quotes.
      const uint64_t quotes = m.quote & in_tag;
      const uint64_t in_value = Classifier::prefix_xor(quotes) ^ c.quote;
      const uint64_t dq_runs = index_add_carry(in_value, m.dq & in_value, c.dq_value);
      const uint64_t stops = (m.lt & ~in_tag) | (ends & in_value) |
                             ((dq_runs ^ (quotes & m.dq)) & ~in_value) | (starts & bang_lt);
      if (stops == 0) [[likely]] {
        bits |= starts | ends;
        c.tag = in_tag >> 63;
        if (starts != 0) c.tag_lt = block + 63 - static_cast<size_t>(__builtin_clzll(starts));
        c.quote = static_cast<uint64_t>(static_cast<int64_t>(in_value) >> 63);
        c.dq_value = (in_value & ~dq_runs) >> 63;
        break;
      }
      // The markup holding the first stop starts at the last '<' in text at or before it; none
      // in this block when it is the tag running on from the blocks before, whose '<' is out.
      const unsigned stop = static_cast<unsigned>(__builtin_ctzll(stops));
      const uint64_t upto = stop == 63 ? ~0ull : (2ull << stop) - 1;
      const uint64_t opened = starts & upto;
      size_t lt = c.tag_lt;
      if (opened != 0) {
        const unsigned at = 63 - static_cast<unsigned>(__builtin_clzll(opened));
        bits |= ((starts | ends) & ((1ull << at) - 1)) | (1ull << at);
        lt = block + at;
      }
      const MarkupEnd e = markup_end(base, len, lt);
      c = IndexCarry{};
      if (e.error != ErrorKind::None) {
        // Nothing after a fatal error is read.
        if (bits != 0) out[n++] = IndexBlock{block, bits};
        s.fatal = e.error;
        s.fatal_pos = e.pos;
        s.block = len;
        s.from = len;
        s.gt = static_cast<size_t>(-1);
        s.carry = c;
        return n;
      }
      const size_t resume = e.gt + 1;
      if (e.gt - block >= 64) {
        // It ran past the block: the bitmaps go on from the block that holds its end.
        if (bits != 0) out[n++] = IndexBlock{block, bits};
        ahead = e.gt;
        from = resume;
        block = e.gt & ~size_t{63};
        goto next_block;
      }
      bits |= 1ull << (e.gt - block);
      if (resume - block >= 64) break;  // it ends the block
      const uint64_t keep = ~0ull << (resume - block);
      m.lt &= keep;
      m.gt &= keep;
      m.quote &= keep;
      m.dq &= keep;
      bang_lt &= keep;
    }
    // Blocks of text take no room.
    out[n] = IndexBlock{block, bits};
    n += bits != 0;
    block += 64;
    from = block;
  next_block:;
  }
  if (block >= len && c.tag != 0) {
    // A tag still open at the end of input is never closed.
    s.fatal = ErrorKind::UnclosedTag;
    s.fatal_pos = len;
  }
  s.block = block;
  s.from = from;
  s.gt = ahead;
  s.carry = c;
  return n;
}

// The portable classifier, a byte at a time: also the tests' reference.
struct PortableClassifier {
  [[gnu::always_inline]] static RawMarks classify(const char* p) noexcept {
    RawMarks m;
    for (unsigned i = 0; i < 64; ++i) {
      const uint64_t bit = 1ull << i;
      switch (p[i]) {
        case '<': m.lt |= bit; break;
        case '>': m.gt |= bit; break;
        case '"': m.dq |= bit; m.quote |= bit; break;
        case '\'': m.quote |= bit; break;
        case '!':
        case '?': m.bang |= bit; break;
        default: break;
      }
    }
    return m;
  }
  [[gnu::always_inline]] static uint64_t prefix_xor(uint64_t x) noexcept {
    return prefix_xor64(x);
  }
};

}  // namespace varnex::xml::detail
