// Where a document that arrives in pieces may be cut between records: the markup is followed
// piece by piece, by the reader's own rules for where each construct ends, so that a cut never
// falls inside a tag, an attribute value, a comment, a CDATA section, a PI or a DOCTYPE. Whole
// 64-byte blocks are read by the structural index; the last bytes of a piece one markup at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnex::xml {
namespace detail {
class Index;
}

// Follows the markup of the bytes kept since the last cut. A cut is a place right after a
// '>' where at most `max_depth` elements are open; the finder keeps the start tags of those
// elements (the context the bytes after a cut are read in), and at the levels chosen, the
// distinct names of the children that ended there.
class CutFinder {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // `remembered`: bit L set when the names of the children ending at depth L + 1 (the
  // document level being depth 0) are kept, for levels up to max_depth.
  CutFinder(size_t max_depth, uint64_t remembered);
  ~CutFinder();
  CutFinder(const CutFinder&) = delete;
  CutFinder& operator=(const CutFinder&) = delete;

  // Follows the markup of `bytes` (every byte kept since the last cut, the same bytes as
  // before and more) from where it stopped. Markup the bytes end inside is read again once
  // more bytes have come, unless `final`. May throw bad_alloc.
  void scan(std::string_view bytes, bool final);

  // The last cut found (an offset into the bytes), or kNone.
  [[nodiscard]] size_t cut() const noexcept { return cut_; }
  // How many elements are open at the cut.
  [[nodiscard]] size_t cut_depth() const noexcept { return cut_depth_; }
  // The start tag of the element open at depth `level` + 1 at the cut (level < cut_depth()).
  [[nodiscard]] std::string_view open_tag(size_t level) const noexcept { return open_[level]; }
  // The names of the children that ended at depth `level` + 1 inside the element open at
  // depth `level` (the document for level 0), as far as the cut.
  [[nodiscard]] std::span<const std::string> ended_names(size_t level) const noexcept {
    return ended_[level];
  }
  // Where the first element's start tag begins, or kNone while it has not come.
  [[nodiscard]] size_t prolog_end() const noexcept { return prolog_end_; }
  // Whether broken markup was met: the bytes after it are never cut.
  [[nodiscard]] bool broken() const noexcept { return broken_; }

  // The bytes before the cut are gone: offsets move back by the cut, and the cut is spent.
  void drop_to_cut() noexcept;

 private:
  [[nodiscard]] bool remembers(size_t level) const noexcept {
    return level < ended_.size() && (remembered_ >> level & 1) != 0;
  }
  void note_ended(size_t level, std::string_view name);
  // A markup met while a record (an element deeper than max_depth) is open, at `*depth`: counted
  // as the reader's skip counts it (by the elements of the record's name) and as reading it tag
  // by tag does (by depth). False where the two would end the record at different places: no
  // cut is sure after that.
  bool inside(const char* base, size_t len, size_t lt, size_t gt, size_t* depth) noexcept;
  // The markup from '<' at `lt` to '>' at `gt`, in bytes of `len`: the elements it opens or
  // closes and the cut after it. False when it breaks the markup.
  bool take(const char* base, size_t len, size_t lt, size_t gt);
  // The whole blocks from pos_ up to `end` (a multiple of 64), by the index; pos_ is left after
  // the last markup they hold whole.
  void scan_blocks(const char* base, size_t len, size_t end);

  size_t max_depth_;
  uint64_t remembered_;
  size_t pos_ = 0;       // the next byte to read, always outside markup
  size_t retry_at_ = 0;  // markup at pos_ ran past the end: read again once this many bytes
  size_t depth_ = 0;
  size_t cut_ = kNone;
  size_t cut_depth_ = 0;
  size_t prolog_end_ = kNone;
  bool broken_ = false;
  std::vector<std::string> open_;  // start tags at depths 1..max_depth
  // The open record's name, as a place in the bytes, and how many elements of that name are
  // open inside it: a cut comes only once it ends.
  size_t record_at_ = 0;
  size_t record_len_ = 0;
  size_t same_ = 0;
  std::vector<std::vector<std::string>> ended_;  // per level 0..max_depth
  std::unique_ptr<detail::Index> index_;
};

}  // namespace varnex::xml
