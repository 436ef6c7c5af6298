// The structural index, stage 1 of every pass: where each piece of markup starts ('<') and
// ends ('>'), found 64 bytes at a time from bitmaps, a chunk of the input at a time. Stage 2,
// the reader, walks these positions instead of the bytes. Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "xml/error.hpp"

namespace varnex::xml::detail {

// What stage 1 carries from one block to the next.
struct IndexCarry {
  uint64_t tag = 0;        // 1: a tag runs on past the block
  uint64_t quote = 0;      // all ones: inside a quoted value of that tag
  uint64_t dq_value = 0;   // 1: that value opened with '"'
  uint64_t end_tag = 0;    // 1: the tag running on is an end tag
  uint64_t lt_top = 0;     // 1: the block's last byte is '<'
  uint64_t slash_top = 0;  // 1: the block's last byte is '/'
};

// One 64-byte block that holds markup: bit i stands for byte `at() + i`. `lt` has the '<' that
// opens each markup and `gt` the '>' that closes it; in input order they alternate (a markup may
// open in one block and close in a later one). The '>' of a start tag that opens an element
// (not '/>') is also in `opens`, that of an end tag in `closes`; comments, CDATA sections,
// DOCTYPEs and PIs are in neither and mark the block that holds their '<' as holding a construct
// (not one whose '<' is the block's last byte: nothing passes such a block whole).
struct IndexBlock {
  size_t at_and_flag;  // the block's offset (a multiple of 64), plus 1 when it holds a construct
  uint64_t lt;
  uint64_t gt;
  uint64_t opens;
  uint64_t closes;

  [[nodiscard]] size_t at() const noexcept { return at_and_flag & ~size_t{63}; }
  [[nodiscard]] bool has_construct() const noexcept { return (at_and_flag & 1) != 0; }
};

class Index {
 public:
  // Blocks per chunk (about 16 KB of dense markup; text-only blocks take no room). A markup may
  // open in one chunk and close in a later one.
  static constexpr size_t kBlocks = 256;

  void reset(const char* base, size_t len) noexcept;
  // The same, indexing from offset `from` on, which the caller knows to be outside markup.
  void reset_at(const char* base, size_t len, size_t from) noexcept;

  // Indexes the next stretch of input into the blocks, replacing the last chunk. False when the
  // input has nothing more to index.
  [[nodiscard]] bool next() noexcept;

  [[nodiscard]] const IndexBlock* begin() const noexcept { return blocks_; }
  [[nodiscard]] const IndexBlock* end() const noexcept { return blocks_ + size_; }
  // Every markup of the input has been indexed.
  [[nodiscard]] bool ended() const noexcept { return state_.block >= state_.len; }
  // The input ends in broken markup, the one whose '<' is the last bit indexed (its '>' never
  // comes), and the reader stands at fatal_pos() after it. None until ended().
  [[nodiscard]] ErrorKind fatal() const noexcept { return state_.fatal; }
  [[nodiscard]] size_t fatal_pos() const noexcept { return state_.fatal_pos; }

  // The state the kernels work on.
  struct State {
    const char* base = nullptr;
    size_t len = 0;
    size_t block = 0;  // offset of the next block to classify (a multiple of 64)
    size_t from = 0;   // bits below this offset in that block are already indexed
    size_t gt = static_cast<size_t>(-1);  // a '>' found ahead, to be set in its block
    uint8_t gt_class = 0;                 // what it closes (see index_impl.hpp)
    IndexCarry carry;
    ErrorKind fatal = ErrorKind::None;
    size_t fatal_pos = 0;
  };

 private:
  State state_;
  size_t size_ = 0;
  IndexBlock blocks_[kBlocks];
};

// Which classifier stage 1 uses. Chosen once from the processor; tests and benchmarks pin one to
// compare them.
enum class IndexPath : uint8_t { Portable, Sse2, Avx2, Avx512 };
// Every classifier, narrowest first.
inline constexpr IndexPath kIndexPaths[] = {IndexPath::Portable, IndexPath::Sse2, IndexPath::Avx2,
                                            IndexPath::Avx512};
// Their names, by IndexPath, as benchmarks and the tests ask for them.
inline constexpr std::string_view kIndexPathNames[] = {"portable", "sse2", "avx2", "avx512"};
// The classifier named `name`: false when none is.
[[nodiscard]] bool index_path_named(std::string_view name, IndexPath* path) noexcept;
[[nodiscard]] IndexPath index_path() noexcept;
// A path the processor lacks falls back to the best one it has.
void set_index_path(IndexPath path) noexcept;
[[nodiscard]] bool index_path_usable(IndexPath path) noexcept;

// Where a walk over the index stands, between markups: block `cur` of the chunk [cur, end) and its
// bits not taken yet (none when the walk has not begun).
struct IndexCursor {
  const IndexBlock* cur;
  const IndexBlock* end;
  uint64_t lt;
  uint64_t gt;
  // Tags whose names start as the target's does are told apart by a second byte before a block
  // stops at them: for short skips, whose elements' children often start alike (`tag` in
  // `tags`), where long ones stop mostly at the target itself.
  bool probe = false;
  // index_skip finishes the skip itself: it keeps `named`, the elements named like the skipped
  // one open inside it, and passes the end tag that closes it (its '<' and '>' then in
  // close_lt and close_gt; close_gt stays 0 until then).
  bool finishes = false;
  size_t named = 0;
  size_t close_lt = 0;
  size_t close_gt = 0;
  // With `finishes`, a run of siblings: when the next markup after that end tag is a start tag
  // of the same name (one that opens an element), it is taken too and its element skipped the
  // same way, and so on. `siblings` counts the start tags so taken, `sibling_end` is one past
  // the '>' of the last (close_gt is 0 again while its element is not passed).
  bool siblings_too = false;
  size_t siblings = 0;
  size_t sibling_end = 0;
  // When set, a next sibling is taken only if this passes its start tag's content (the bytes
  // between '<' and '>').
  bool (*sibling_test)(void* context, std::string_view content) = nullptr;
  void* sibling_context = nullptr;
};

// Where the markup whose '<' is the lowest bit left of block `cur` closes: the lowest '>' left
// there (`gts`), else the first of the next block of the chunk ('<' and '>' alternate, and only
// blocks that hold one are kept, so that block's first bit is this '>'). False when that is
// past the chunk.
[[nodiscard, gnu::always_inline]] inline bool markup_close(const IndexBlock* cur,
                                                           const IndexBlock* end, uint64_t gts,
                                                           const IndexBlock** closing,
                                                           uint64_t* closing_gts) noexcept {
  if (gts != 0) {
    *closing = cur;
    *closing_gts = gts;
    return true;
  }
  if (cur + 1 >= end) return false;
  *closing = cur + 1;
  *closing_gts = cur[1].gt;
  return true;
}
// Takes that markup (markup_close said where it closes): the walk then stands after its '>'.
[[gnu::always_inline]] inline void take_markup(const IndexBlock*& cur, uint64_t& lts, uint64_t& gts,
                                               const IndexBlock* closing,
                                               uint64_t closing_gts) noexcept {
  lts &= lts - 1;
  if (closing == cur) {
    gts &= gts - 1;
  } else {
    cur = closing;
    lts = cur->lt;
    gts = closing_gts & (closing_gts - 1);
  }
}

// For a skip of an element named `name` (not empty): passes markups from the cursor while each
// is ordinary (a start or empty-element tag, or an end tag with an element open, whose name is
// not `name`, or is when the cursor `finishes`), whole blocks at a time where it can, keeping
// `*open`, the count of open elements. It stops before the first other markup, before one that
// runs on into a later block, at the chunk's end, or after the skipped element's end tag; the
// cursor then stands there.
void index_skip(const char* base, size_t len, IndexCursor& c, std::string_view name,
                size_t* open) noexcept;
// Whether a markup of the blocks [first, last] of a chunk whose '<' is before `before` (in
// `first`, only among `first_lts`, the bits left of it) is a tag named `name` or may be (see
// named_at): the check that a skip of `name` would pass them all.
[[nodiscard]] bool index_names(const char* base, size_t len, const IndexBlock* first,
                               const IndexBlock* last, uint64_t first_lts, size_t before,
                               std::string_view name) noexcept;
// The kernels of one classifier: index (blocks into `out` until `cap` of them hold markup or the
// input ends; returns how many do), index_skip and index_names.
struct IndexKernels {
  size_t (*index)(Index::State& s, IndexBlock* out, size_t cap) noexcept;
  void (*skip)(const char* base, size_t len, IndexCursor& c, std::string_view name,
               size_t* open) noexcept;
  bool (*names)(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                uint64_t first_lts, size_t before, std::string_view name) noexcept;
};
// Those built for a wider instruction set, each in a file of its own (only where it is built).
IndexKernels avx2_kernels() noexcept;
IndexKernels avx512_kernels() noexcept;

}  // namespace varnex::xml::detail
