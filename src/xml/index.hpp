// The structural index, stage 1 of every pass: where each piece of markup starts ('<') and
// ends ('>'), found 64 bytes at a time from bitmaps, a chunk of the input at a time. Stage 2,
// the reader, walks these positions instead of the bytes. Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>

#include "xml/error.hpp"

namespace varnex::xml::detail {

// What stage 1 carries from one block to the next.
struct IndexCarry {
  uint64_t tag = 0;       // 1: a tag runs on past the block
  uint64_t quote = 0;     // all ones: inside a quoted value of that tag
  uint64_t dq_value = 0;  // 1: that value opened with '"'
  size_t tag_lt = 0;      // the '<' of the tag running on
};

// One 64-byte block that holds markup: bit i stands for byte `at + i`, set at the '<' that opens
// and at the '>' that closes each markup. In input order the set bits alternate '<', '>', '<'...
// (a markup may open in one block and close in a later one).
struct IndexBlock {
  size_t at;
  uint64_t bits;
};

class Index {
 public:
  // Blocks per chunk (about 16 KB of dense markup; text-only blocks take no room). A markup may
  // open in one chunk and close in a later one.
  static constexpr size_t kBlocks = 256;

  void reset(const char* base, size_t len) noexcept;

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
enum class IndexPath : uint8_t { Portable, Sse2, Avx2 };
[[nodiscard]] IndexPath index_path() noexcept;
// A path the processor lacks falls back to the best one it has.
void set_index_path(IndexPath path) noexcept;
[[nodiscard]] bool index_path_usable(IndexPath path) noexcept;

// The kernels, one per classifier: index blocks into `out` until `cap` of them hold markup or the
// input ends; returns how many do.
size_t index_portable(Index::State& s, IndexBlock* out, size_t cap) noexcept;
size_t index_sse2(Index::State& s, IndexBlock* out, size_t cap) noexcept;
size_t index_avx2(Index::State& s, IndexBlock* out, size_t cap) noexcept;

}  // namespace varnex::xml::detail
