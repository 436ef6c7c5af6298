// Stage 1, written once over a classifier type: the kernels in index.cpp and index_avx2.cpp
// instantiate it with their own. Include it only there, inside an unnamed namespace's reach:
// every function here is inline and takes the classifier as a template argument, so each
// instantiation is compiled for its own instruction set.
#pragma once

#include <algorithm>
#include <cstring>

#include "xml/index.hpp"
#include "xml/markup.hpp"

namespace varnex::xml::detail {

// Where '<', '>', quotes, '/' and '!' or '?' sit in one 64-byte block: bit i is byte i.
struct RawMarks {
  uint64_t lt = 0;
  uint64_t gt = 0;
  uint64_t quote = 0;  // '"' or '\''
  uint64_t dq = 0;     // '"'
  uint64_t slash = 0;  // '/'
  uint64_t bang = 0;   // '!' or '?'

  void keep(uint64_t mask) noexcept {
    lt &= mask;
    gt &= mask;
    quote &= mask;
    dq &= mask;
    slash &= mask;
    bang &= mask;
  }

  // The marks by the rule of which bytes they are, from a classifier's `eq(c)` (the bits of the
  // bytes equal to c) and `either(a, b)` (of those equal to a or b).
  template <class Eq, class Either>
  [[gnu::always_inline]] static RawMarks of(Eq eq, Either either) noexcept {
    RawMarks m;
    m.lt = eq('<');
    m.gt = eq('>');
    m.dq = eq('"');
    m.quote = m.dq | eq('\'');
    m.slash = eq('/');
    m.bang = either('!', '?');
    return m;
  }
};

// x - y - borrow and x + y + carry with borrow and carry 0 or 1; the carry out is dropped.
[[nodiscard, gnu::always_inline]] inline uint64_t index_sub_borrow(uint64_t x, uint64_t y,
                                                                   uint64_t borrow) noexcept {
  return x - y - borrow;
}
[[nodiscard, gnu::always_inline]] inline uint64_t index_add_carry(uint64_t x, uint64_t y,
                                                                  uint64_t carry) noexcept {
  return x + y + carry;
}

// The last '<' before `end`: the start of a tag that ran on into the block at `end`, which holds
// no other (a '<' inside a tag stops the bitmaps where it stands).
[[nodiscard, gnu::always_inline]] inline size_t index_last_lt(const char* base,
                                                              size_t end) noexcept {
  while (base[end - 1] != '<') --end;
  return end - 1;
}

// What a '>' found by markup_end closes, for the block that holds it.
enum : uint8_t { kGtOther = 0, kGtOpens = 1, kGtCloses = 2 };

[[nodiscard, gnu::always_inline]] inline uint8_t index_gt_class(const char* base, size_t lt,
                                                                size_t gt) noexcept {
  const char kind = base[lt + 1];
  if (kind == '!' || kind == '?') return kGtOther;
  if (kind == '/') return kGtCloses;
  return base[gt - 1] == '/' ? kGtOther : kGtOpens;
}

[[gnu::always_inline]] inline void index_set_gt(IndexBlock& e, unsigned bit, uint8_t cls) noexcept {
  const uint64_t b = 1ull << bit;
  e.gt |= b;
  if (cls == kGtOpens) e.opens |= b;
  if (cls == kGtCloses) e.closes |= b;
}

// Indexes blocks from s.block on, up to the end of the first block that leaves nothing pending
// (the fast loop in index_blocks takes over from there). In each block, while its tags are
// ordinary, the bitmaps decide
// everything: every '<' in text starts a tag, which ends at the first '>' after it outside a
// quoted value, and each value closes with the kind of quote that opened it; quotes and '>' in
// text are ordinary bytes. The first thing they cannot describe (a '<' or '>' inside a tag or a
// value, quotes that do not pair, '<!' or '<?') stops them: that markup is resolved by the rules
// of markup_end, and the bitmaps go on after it.
template <class Classifier>
[[gnu::noinline]] size_t index_blocks_general(Index::State& s, IndexBlock* out,
                                              size_t cap) noexcept {
  constexpr size_t kNone = static_cast<size_t>(-1);
  const char* const base = s.base;
  const size_t len = s.len;
  size_t block = s.block;
  size_t from = s.from;
  size_t ahead = s.gt;  // a '>' resolved past the block it was found in
  uint8_t ahead_class = s.gt_class;
  IndexCarry c = s.carry;
  size_t n = 0;
  alignas(64) char tail[64];
  while (block < len && n < cap) {
    const char* p = base + block;
    if (len - block < 64) {
      // The last bytes: classify a zero-padded copy (NUL matches nothing).
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, p, len - block);
      p = tail;
    }
    RawMarks m = Classifier::classify(p);
    IndexBlock e{block, 0, 0, 0, 0};
    // A '<' that ends the block before opens a construct when this one starts with '!' or '?'.
    uint64_t bang_after_top = m.bang & c.lt_top;
    if (from > block) {
      m.keep(from - block < 64 ? ~0ull << (from - block) : 0);
      bang_after_top = 0;
      if (ahead - block < 64) {
        index_set_gt(e, static_cast<unsigned>(ahead - block), ahead_class);
        ahead = kNone;
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
      const uint64_t after_lt = (m.lt << 1) | c.lt_top;
      const uint64_t stops = (m.lt & ~in_tag) | (ends & in_value) |
                             ((dq_runs ^ (quotes & m.dq)) & ~in_value) | (starts & (m.bang >> 1)) |
                             bang_after_top;
      // End tags: an add carries the '/' of each '</' to the '>' that ends it. A start tag's
      // '>' after a '/' ends an empty-element tag.
      const uint64_t end_runs = index_add_carry(in_tag, after_lt & m.slash, c.end_tag);
      const uint64_t closes = end_runs & ends;
      const uint64_t opens = ends & ~closes & ~((m.slash << 1) | c.slash_top);
      if (stops == 0) [[likely]] {
        e.lt |= starts;
        e.gt |= ends;
        e.opens |= opens;
        e.closes |= closes;
        c.tag = in_tag >> 63;
        c.quote = static_cast<uint64_t>(static_cast<int64_t>(in_value) >> 63);
        c.dq_value = (in_value & ~dq_runs) >> 63;
        c.end_tag = (in_tag & ~end_runs) >> 63;
        c.lt_top = m.lt >> 63;
        c.slash_top = m.slash >> 63;
        break;
      }
      // The markup holding the first stop starts at the last '<' in text at or before it; none
      // in this block when it is the tag running on from the blocks before.
      const unsigned stop = static_cast<unsigned>(__builtin_ctzll(stops));
      const uint64_t upto = stop == 63 ? ~0ull : (2ull << stop) - 1;
      const uint64_t opened = starts & upto;
      size_t lt = 0;
      if (opened != 0) {
        const unsigned at = 63 - static_cast<unsigned>(__builtin_clzll(opened));
        const uint64_t clean = (1ull << at) - 1;
        e.lt |= (starts & clean) | (1ull << at);
        e.gt |= ends & clean;
        e.opens |= opens & clean;
        e.closes |= closes & clean;
        lt = block + at;
      } else {
        lt = index_last_lt(base, block);
      }
      const MarkupEnd end = markup_end(base, len, lt);
      c = IndexCarry{};
      if (end.error != ErrorKind::None) {
        // Nothing after a fatal error is read.
        if ((e.lt | e.gt) != 0) out[n++] = e;
        s.fatal = end.error;
        s.fatal_pos = end.pos;
        s.block = len;
        s.from = len;
        s.gt = kNone;
        s.carry = c;
        return n;
      }
      const uint8_t cls = index_gt_class(base, lt, end.gt);
      if (lt >= block && (base[lt + 1] == '!' || base[lt + 1] == '?')) e.at_and_flag |= 1;
      const size_t resume = end.gt + 1;
      if (end.gt - block >= 64) {
        // It ran past the block: the bitmaps go on from the block that holds its end.
        if ((e.lt | e.gt) != 0) out[n++] = e;
        ahead = end.gt;
        ahead_class = cls;
        from = resume;
        block = end.gt & ~size_t{63};
        goto next_block;
      }
      index_set_gt(e, static_cast<unsigned>(end.gt - block), cls);
      if (resume - block >= 64) break;  // it ends the block
      m.keep(~0ull << (resume - block));
      bang_after_top = 0;
    }
    // Blocks of text take no room.
    out[n] = e;
    n += (e.lt | e.gt) != 0;
    block += 64;
    from = block;
    if (ahead == kNone) break;  // back at a block's start with nothing pending
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
  s.gt_class = ahead_class;
  s.carry = c;
  return n;
}

// Indexes blocks from s.block on until `cap` of them hold markup or the input ends. Whole blocks
// whose tags are ordinary are taken here; any other block (one the bitmaps stop in, the last,
// short one, or one that a markup resolved earlier ends in) by index_blocks_general.
template <class Classifier>
[[gnu::always_inline]] inline size_t index_blocks(Index::State& s, IndexBlock* out,
                                                  size_t cap) noexcept {
  const char* const base = s.base;
  const size_t len = s.len;
  size_t n = 0;
  while (s.block < len && n < cap) {
    if (s.from > s.block || s.gt != static_cast<size_t>(-1) || len - s.block < 64) {
      n += index_blocks_general<Classifier>(s, out + n, cap - n);
      continue;
    }
    size_t block = s.block;
    IndexCarry c = s.carry;
    // As many whole blocks as fit in the input and in `out`.
    const size_t last = block + std::min((len - block) / 64, cap - n) * 64;
    IndexBlock* o = out + n;
    while (block < last) {
      const RawMarks m = Classifier::classify(base + block);
      const uint64_t span = index_sub_borrow(m.gt, m.lt, c.tag);
      const uint64_t in_tag = span & ~m.gt;
      const uint64_t ends = m.gt & ~span;
      const uint64_t starts = m.lt & in_tag;
      const uint64_t quotes = m.quote & in_tag;
      const uint64_t in_value = Classifier::prefix_xor(quotes) ^ c.quote;
      const uint64_t dq_runs = index_add_carry(in_value, m.dq & in_value, c.dq_value);
      const uint64_t stops = (m.lt & ~in_tag) | (ends & in_value) |
                             ((dq_runs ^ (quotes & m.dq)) & ~in_value) | (starts & (m.bang >> 1)) |
                             (m.bang & c.lt_top);
      if (stops != 0) [[unlikely]]
        break;
      const uint64_t end_runs =
          index_add_carry(in_tag, ((m.lt << 1) | c.lt_top) & m.slash, c.end_tag);
      const uint64_t closes = end_runs & ends;
      *o =
          IndexBlock{block, starts, ends, ends & ~closes & ~((m.slash << 1) | c.slash_top), closes};
      o += (starts | ends) != 0;
      c.tag = in_tag >> 63;
      c.quote = static_cast<uint64_t>(static_cast<int64_t>(in_value) >> 63);
      c.dq_value = (in_value & ~dq_runs) >> 63;
      c.end_tag = (in_tag & ~end_runs) >> 63;
      c.lt_top = m.lt >> 63;
      c.slash_top = m.slash >> 63;
      block += 64;
    }
    n = static_cast<size_t>(o - out);
    s.block = block;
    s.from = block;
    s.carry = c;
    if (n < cap && len - block >= 64) {
      // The bitmaps stopped in this block.
      n += index_blocks_general<Classifier>(s, out + n, cap - n);
    }
  }
  if (s.block >= len && s.carry.tag != 0 && s.fatal == ErrorKind::None) {
    // A tag still open at the end of input is never closed.
    s.fatal = ErrorKind::UnclosedTag;
    s.fatal_pos = len;
  }
  return n;
}

// After the end tag that closes a skipped element: takes the next markup when it is a start tag
// of the same name that opens an element (named as the reader names a start tag: up to the first
// ws), the next sibling of a run; anything else is left where it is.
[[gnu::always_inline]] inline bool take_sibling(const char* base, size_t len, IndexCursor& c,
                                                const IndexBlock*& cur, uint64_t& lt, uint64_t& gt,
                                                std::string_view name) noexcept {
  if (lt == 0) {
    if (cur + 1 >= c.end) return false;
    ++cur;
    lt = cur->lt;
    gt = cur->gt;
  }
  const IndexBlock* closing = nullptr;
  uint64_t closing_gt = 0;
  if (!markup_close(cur, c.end, gt, &closing, &closing_gt)) return false;
  const size_t l = cur->at() + static_cast<unsigned>(__builtin_ctzll(lt));
  const unsigned b = static_cast<unsigned>(__builtin_ctzll(closing_gt));
  const size_t g = closing->at() + b;
  const size_t n = name.size();
  if (base[l + 1] != name.front() || ((closing->opens >> b) & 1) == 0 || g - (l + 1) < n ||
      !named_at(base, len, l + 1, name) ||
      name_length(base + l + 1, g - (l + 1), len - (l + 1)) != n ||
      (c.sibling_test != nullptr &&
       !c.sibling_test(c.sibling_context, std::string_view(base + l + 1, g - (l + 1))))) {
    return false;
  }
  take_markup(cur, lt, gt, closing, closing_gt);
  ++c.siblings;
  c.sibling_end = g + 1;
  c.close_gt = 0;
  return true;
}

// index_skip (index.hpp), over a classifier's byte mask and popcount.
template <class Classifier>
[[gnu::always_inline]] inline void index_skip_with(const char* base, size_t len, IndexCursor& c,
                                                   std::string_view name,
                                                   size_t* open_count) noexcept {
  const char first = name.front();
  const size_t n = name.size();
  // With c.probe, the second byte of the name the block-wide test looks at: the last of its
  // first six, so that `<tag>` does not stop a skip of `tags`.
  const unsigned probe = !c.probe || n == 0 ? 0 : static_cast<unsigned>(std::min<size_t>(n, 6) - 1);
  const IndexBlock* cur = c.cur;
  uint64_t lt = c.lt;
  uint64_t gt = c.gt;
  size_t open = *open_count;
  for (;;) {
    if (lt == 0) {
      if (cur + 1 >= c.end) break;
      ++cur;
      lt = cur->lt;
      gt = cur->gt;
    }
    const size_t at = cur->at();
    if (!cur->has_construct() && len - at >= 64) {
      // The markups from here up to the first that has its name in the next block (its '<' at
      // one of the last two bytes: a name starts one byte after '<', two after '</') or may
      // have the target's name, taken together: one whose name starts with the target's first
      // byte and, where several do, also has its byte at `probe` (or runs on into the next
      // block before that byte). The last, when it runs on into the next block of the chunk, with
      // them (its '>' is that block's first), else up to it. The last '<' has no '>' after it
      // in this block when it is the highest bit of the two.
      const bool runs_on = lt > gt;
      uint64_t stops = lt & (3ull << 62);
      if (runs_on && cur + 1 >= c.end) stops |= uint64_t{1} << (63 - __builtin_clzll(lt));
      const uint64_t f = Classifier::byte_mask(base + at, first);
      uint64_t named = lt & ((f >> 1) | (f >> 2));
      if ((named & (named - 1)) != 0 && probe != 0) {
        const uint64_t both = f & (Classifier::byte_mask(base + at, name[probe]) >> probe);
        named = lt & ((both >> 1) | (both >> 2) | (~0ull << (62 - probe)));
      }
      stops |= named;
      const uint64_t prefix = (stops & (0 - stops)) - 1;  // all ones when nothing stops it
      const uint64_t gts = gt & prefix;
      // Every end tag needs an element open. One right after a start tag (in the order of
      // their '>') pairs with it; only the others can bring the count below what it was.
      const uint64_t opens = cur->opens & gts;
      const uint64_t closes = cur->closes & gts;
      const uint64_t unpaired = closes & ((gts ^ opens) - opens);
      if (open >= Classifier::popcount(unpaired)) {
        open = open + Classifier::popcount(opens) - Classifier::popcount(closes);
        if (runs_on && stops == 0) {
          // The last markup, closed by the next block's first '>': an end tag needs an
          // element open (else it is left to the markup-by-markup pass, which stops there).
          const IndexBlock* next = cur + 1;
          const unsigned b = static_cast<unsigned>(__builtin_ctzll(next->gt));
          const size_t closing = (next->closes >> b) & 1;
          if (open >= closing) {
            open = open + ((next->opens >> b) & 1) - closing;
            cur = next;
            lt = cur->lt;
            gt = cur->gt & (cur->gt - 1);
            continue;
          }
          lt = uint64_t{1} << (63 - __builtin_clzll(lt));
          gt = 0;
        } else {
          lt &= ~prefix;
          gt &= ~prefix;
          if (lt == 0) continue;
        }
      }
    }
    // One markup: passed here while it is ordinary for the skip. Its '>' is the first of this
    // block or, when none is left, of the next.
    const IndexBlock* closing = nullptr;
    uint64_t closing_gt = 0;
    if (!markup_close(cur, c.end, gt, &closing, &closing_gt)) break;
    const size_t l = at + static_cast<unsigned>(__builtin_ctzll(lt));
    const char* tag = base + l;
    // A tag whose name may be the target's is left to the reader: its first bytes are the
    // target's, followed by what can end a name (a longer name sharing them is passed).
    const auto may_be_target = [&](size_t from) {
      const size_t g = closing->at() + static_cast<unsigned>(__builtin_ctzll(closing_gt));
      return g - from >= n && named_at(base, len, from, name);
    };
    if (tag[1] == '/') {
      if (open == 0) break;
      if (tag[2] == first && may_be_target(l + 2)) {
        if (!c.finishes) break;
        // An end tag of the target's name, as the reader reads end names (trailing ws trimmed).
        const size_t g = closing->at() + static_cast<unsigned>(__builtin_ctzll(closing_gt));
        if (end_name_end(base, l + 2, g) == l + 2 + n) {
          if (c.named == 0) {
            take_markup(cur, lt, gt, closing, closing_gt);
            --open;
            c.close_lt = l;
            c.close_gt = g;
            if (!c.siblings_too || !take_sibling(base, len, c, cur, lt, gt, name)) break;
            ++open;
            continue;
          }
          --c.named;
        }
      }
      --open;
    } else {
      if (tag[1] == '!' || tag[1] == '?') break;
      const uint64_t opens = (closing->opens >> __builtin_ctzll(closing_gt)) & 1;
      if (tag[1] == first && may_be_target(l + 1)) {
        if (!c.finishes) break;
        // A start tag of the target's name: its name runs to the first ws.
        const size_t g = closing->at() + static_cast<unsigned>(__builtin_ctzll(closing_gt));
        c.named += opens & static_cast<uint64_t>(
                               name_length(base + l + 1, g - (l + 1), len - (l + 1)) == n);
      }
      open += opens;
    }
    take_markup(cur, lt, gt, closing, closing_gt);
  }
  c.cur = cur;
  c.lt = lt;
  c.gt = gt;
  *open_count = open;
}

// index_names (index.hpp), over a classifier's byte mask: only the markups whose name may start
// with the name's first byte are looked at.
template <class Classifier>
[[gnu::always_inline]] inline bool index_names_with(const char* base, size_t len,
                                                    const IndexBlock* first, const IndexBlock* last,
                                                    uint64_t first_lts, size_t before,
                                                    std::string_view name) noexcept {
  const char head = name.front();
  const size_t n = name.size();
  for (const IndexBlock* b = first; b <= last; ++b) {
    const size_t at = b->at();
    if (before <= at) return false;
    uint64_t lts = b == first ? first_lts : b->lt;
    if (before - at < 64) lts &= (uint64_t{1} << (before - at)) - 1;
    if (lts == 0) continue;
    if (len - at >= 64) {
      // A name starts one byte after '<', two after '</'; one at the block's last two bytes
      // starts in the next block.
      const uint64_t f = Classifier::byte_mask(base + at, head);
      lts &= (f >> 1) | (f >> 2) | (3ull << 62);
    }
    for (; lts != 0; lts &= lts - 1) {
      const size_t lt = at + static_cast<size_t>(__builtin_ctzll(lts));
      const size_t from = lt + 1 < len && base[lt + 1] == '/' ? lt + 2 : lt + 1;
      if (from + n >= len) return true;
      if (base[from] == head && named_at(base, len, from, name)) return true;
    }
  }
  return false;
}

// Every kernel over one classifier, compiled where this is instantiated (the file built for its
// instruction set).
template <class Classifier>
[[nodiscard]] IndexKernels kernels_of() noexcept {
  return {[](Index::State& s, IndexBlock* out, size_t cap) noexcept {
            return index_blocks<Classifier>(s, out, cap);
          },
          [](const char* base, size_t len, IndexCursor& c, std::string_view name,
             size_t* open) noexcept { index_skip_with<Classifier>(base, len, c, name, open); },
          [](const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
             uint64_t first_lts, size_t before, std::string_view name) noexcept {
            return index_names_with<Classifier>(base, len, first, last, first_lts, before, name);
          }};
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
        case '"':
          m.dq |= bit;
          m.quote |= bit;
          break;
        case '\'': m.quote |= bit; break;
        case '/': m.slash |= bit; break;
        case '!':
        case '?': m.bang |= bit; break;
        default: break;
      }
    }
    return m;
  }
  [[gnu::always_inline]] static uint64_t prefix_xor(uint64_t x) noexcept { return prefix_xor64(x); }
  [[gnu::always_inline]] static uint64_t byte_mask(const char* p, char c) noexcept {
    uint64_t m = 0;
    for (unsigned i = 0; i < 64; ++i) m |= static_cast<uint64_t>(p[i] == c) << i;
    return m;
  }
  [[gnu::always_inline]] static size_t popcount(uint64_t x) noexcept {
    // Without a popcount instruction the builtin is a library call.
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<size_t>((x * 0x0101010101010101ull) >> 56);
  }
};

}  // namespace varnex::xml::detail
