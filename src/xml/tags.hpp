// The tags after a reader's mark, one at a time, within the chunk of the index the mark is in:
// for walks that only count and name tags, which then cost a few instructions a tag instead of
// an event each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "xml/index.hpp"
#include "xml/markup.hpp"
#include "xml/reader.hpp"

namespace varnex::xml {

enum class TagKind : uint8_t { Start, End, Empty };

// One tag: its '<' and '>' in the input.
struct Tag {
  size_t lt = 0;
  size_t gt = 0;
  TagKind kind = TagKind::Start;
};

class TagCursor {
 public:
  TagCursor(std::string_view input, const Reader::Mark& from) noexcept
      : base_(input.data()),
        len_(input.size()),
        cur_(from.cur),
        end_(from.end),
        lt_(from.lt),
        gt_(from.gt),
        at_(from.block_at) {}

  // The next tag whose '>' is in this chunk; comments, CDATA sections and PIs on the way are
  // passed, as a reader passes them without a word. False, nothing taken, before a DOCTYPE (which
  // a reader may count an error), a markup that closes in a later chunk or never, and at the
  // chunk's end: what the reader itself must read.
  [[nodiscard, gnu::always_inline]] bool next(Tag& tag) noexcept {
    if (cur_ == nullptr) [[unlikely]]
      return false;
    for (;;) {
      while (lt_ == 0) {
        // The '>' of the last markup taken was the last bit of its block.
        if (cur_ + 1 >= end_) return false;
        ++cur_;
        lt_ = cur_->lt;
        gt_ = cur_->gt;
        at_ = cur_->at();
      }
      const size_t lt = at_ + static_cast<size_t>(__builtin_ctzll(lt_));
      const detail::IndexBlock* closing = nullptr;
      uint64_t gts = 0;
      if (!detail::markup_close(cur_, end_, gt_, &closing, &gts)) return false;
      const char kind = base_[lt + 1];
      if (kind == '!' && base_[lt + 2] != '-' && base_[lt + 2] != '[') return false;
      const size_t gt = closing->at() + static_cast<size_t>(__builtin_ctzll(gts));
      const detail::IndexBlock* const was = cur_;
      detail::take_markup(cur_, lt_, gt_, closing, gts);
      if (cur_ != was) at_ = cur_->at();
      if (kind == '!' || kind == '?') continue;
      tag.lt = lt;
      tag.gt = gt;
      tag.kind = kind == '/'            ? TagKind::End
                 : base_[gt - 1] == '/' ? TagKind::Empty
                                        : TagKind::Start;
      return true;
    }
  }

  // When the next markup is an end tag that closes the start tag `start` (whose name is
  // `name_len` bytes), in the same block, as most leaves close: takes it (its '>' in `*gt`).
  // Else nothing is taken.
  [[nodiscard, gnu::always_inline]] bool take_leaf_end(const Tag& start, size_t name_len,
                                                       size_t* gt) noexcept {
    if (lt_ == 0 || gt_ == 0) return false;
    const Tag end{at_ + static_cast<size_t>(__builtin_ctzll(lt_)),
                  at_ + static_cast<size_t>(__builtin_ctzll(gt_)), TagKind::End};
    if (base_[end.lt + 1] != '/' || !closes(end, start.lt, name_len)) return false;
    lt_ &= lt_ - 1;
    gt_ &= gt_ - 1;
    *gt = end.gt;
    return true;
  }

  // The length of a start or empty-element tag's name, as the reader reads it (up to ws or the
  // tag's end).
  [[nodiscard, gnu::always_inline]] size_t name_length(const Tag& tag) const noexcept {
    const size_t begin = tag.lt + 1;
    const size_t end = tag.kind == TagKind::Empty ? tag.gt - 1 : tag.gt;
    return detail::name_length(base_ + begin, end - begin, len_ - begin);
  }
  // The tag as the reader's event for it, its name `name_len` bytes.
  [[nodiscard]] Event event(const Tag& tag, size_t name_len) const noexcept {
    const size_t begin = tag.lt + 1;
    const size_t end = tag.kind == TagKind::Empty ? tag.gt - 1 : tag.gt;
    Event ev;
    ev.kind = tag.kind == TagKind::Empty ? EventKind::Empty : EventKind::Start;
    ev.content = std::string_view(base_ + begin, end - begin);
    ev.name_len = name_len;
    return ev;
  }
  // Whether the end tag `end` names the start tag whose '<' is at `start_lt` and whose name is
  // `name_len` bytes, as the reader reads both names (the end tag's trimmed).
  [[nodiscard, gnu::always_inline]] bool closes(const Tag& end, size_t start_lt,
                                                size_t name_len) const noexcept {
    const size_t begin = end.lt + 2;
    const size_t n = detail::end_name_end(base_, begin, end.gt) - begin;
    return n == name_len &&
           detail::same_bytes(base_ + start_lt + 1, base_ + begin, n, len_ - begin);
  }

  // `from` moved past the tags taken, with `depth` elements open: for Reader::rewind.
  [[nodiscard]] Reader::Mark mark(Reader::Mark from, size_t pos, size_t depth) const noexcept {
    from.pos = pos;
    from.depth = depth;
    from.cur = cur_;
    from.lt = lt_;
    from.gt = gt_;
    from.block_at = at_;
    return from;
  }

 private:
  const char* base_;
  size_t len_;
  const detail::IndexBlock* cur_;
  const detail::IndexBlock* end_;
  uint64_t lt_;
  uint64_t gt_;
  size_t at_;
};

}  // namespace varnex::xml
