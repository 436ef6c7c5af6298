// Cuts between records: markup followed by the structural index and the reader's rules
// (markup.hpp), a piece at a time.
#include "xml/cuts.hpp"

#include <algorithm>

#include "xml/index.hpp"
#include "xml/markup.hpp"

namespace varnex::xml {
namespace {

// Markup the bytes end inside is read again only once as many bytes again have come, so that
// one long construct arriving in small pieces is read a bounded number of times per byte.
// The distinct names kept per level: enough for any real document, bounded for any other.
constexpr size_t kMaxNames = 1024;

// The name of the tag whose '<' is at `lt` and whose '>' is at `gt`.
[[gnu::always_inline]] inline std::string_view tag_name(const char* base, size_t len, size_t lt,
                                                        size_t gt) noexcept {
  const size_t begin = lt + 1;
  const size_t end = base[gt - 1] == '/' ? gt - 1 : gt;
  return {base + begin, detail::name_length(base + begin, end - begin, len - begin)};
}

// Whether the end tag whose '<' is at `lt` and '>' at `gt` has the name `name` (at `at`, of
// `size` bytes, earlier in the bytes).
[[gnu::always_inline]] inline bool ends_name(const char* base, size_t len, size_t lt, size_t gt,
                                             size_t at, size_t size) noexcept {
  const size_t begin = lt + 2;
  return detail::end_name_end(base, begin, gt) - begin == size &&
         detail::same_bytes(base + at, base + begin, size, len - begin);
}

// The name of the tag `tag` ("<name ...>"), as tag_name finds it.
std::string_view open_name(std::string_view tag) noexcept {
  return tag_name(tag.data(), tag.size(), 0, tag.size() - 1);
}

}  // namespace

CutFinder::CutFinder(size_t max_depth, uint64_t remembered)
    : max_depth_(max_depth),
      remembered_(remembered),
      ended_(std::min<size_t>(max_depth, 63) + 1),
      index_(std::make_unique<detail::Index>()) {}

CutFinder::~CutFinder() = default;

void CutFinder::note_ended(size_t level, std::string_view name) {
  std::vector<std::string>& names = ended_[level];
  if (names.size() >= kMaxNames || std::find(names.begin(), names.end(), name) != names.end()) {
    return;
  }
  names.emplace_back(name);
}

bool CutFinder::take(const char* base, size_t len, size_t lt, size_t gt) {
  const char kind = base[lt + 1];
  if (kind == '/') {
    const size_t begin = lt + 2;
    const std::string_view name(base + begin, detail::end_name_end(base, begin, gt) - begin);
    // An end tag that is not the open element's: the reader's errors and its skips by name
    // decide what follows, and no cut is sure.
    const bool mismatched =
        depth_ == 0 || (depth_ > max_depth_
                            ? !ends_name(base, len, lt, gt, deep_.back().first, deep_.back().second)
                            : open_name(open_.back()) != name);
    if (mismatched) return false;  // what is open stays as the last cut saw it
    if (depth_ > max_depth_) {
      deep_.pop_back();
    } else {
      open_.pop_back();
    }
    --depth_;
    if (remembers(depth_)) note_ended(depth_, name);
  } else if (kind != '!' && kind != '?') {
    if (prolog_end_ == kNone) prolog_end_ = lt;
    if (base[gt - 1] == '/') {
      if (remembers(depth_)) note_ended(depth_, tag_name(base, len, lt, gt));
    } else {
      ++depth_;
      if (depth_ <= max_depth_) {
        open_.emplace_back(base + lt, gt + 1 - lt);
        if (depth_ < ended_.size()) ended_[depth_].clear();
      } else {
        deep_.emplace_back(lt + 1, tag_name(base, len, lt, gt).size());
      }
    }
  }
  if (prolog_end_ != kNone && depth_ <= max_depth_) {
    cut_ = gt + 1;
    cut_depth_ = depth_;
  }
  return true;
}

void CutFinder::scan_blocks(const char* base, size_t len, size_t end) {
  // Whatever the index cannot take (markup that runs on past `end` or is broken) is left to
  // markup_end below: pos_ stays before it.
  detail::Index& index = *index_;
  index.reset_at(base, end, pos_);
  // Markup inside a record (an element open deeper than max_depth_, still open after it) only
  // opens and closes names there: taken here, with the depth in a local; the rest by take().
  const size_t record_depth = max_depth_ + 1;
  size_t depth = depth_;
  size_t pos = pos_;
  size_t lt = kNone;  // the '<' of the markup whose '>' has not come
  while (index.next()) {
    for (const detail::IndexBlock& block : index) {
      const size_t at = block.at();
      uint64_t lts = block.lt;
      uint64_t gts = block.gt;
      for (;;) {
        if (lt == kNone) {
          if (lts == 0) break;
          lt = at + static_cast<unsigned>(__builtin_ctzll(lts));
          lts &= lts - 1;
        }
        if (gts == 0) break;
        const size_t gt = at + static_cast<unsigned>(__builtin_ctzll(gts));
        gts &= gts - 1;
        const char kind = base[lt + 1];
        bool taken = false;
        if (depth > record_depth || (depth == record_depth && kind != '/')) [[likely]] {
          taken = true;
          if (kind == '/') {
            const std::pair<size_t, size_t>& open = deep_.back();
            taken = ends_name(base, len, lt, gt, open.first, open.second);
            if (taken) {
              deep_.pop_back();
              --depth;
            }
          } else if (kind != '!' && kind != '?' && base[gt - 1] != '/') {
            ++depth;
            deep_.emplace_back(lt + 1, tag_name(base, len, lt, gt).size());
          }
        }
        if (!taken) {
          depth_ = depth;
          if (!take(base, len, lt, gt)) {
            broken_ = true;
            pos_ = pos;
            return;
          }
          depth = depth_;
        }
        pos = gt + 1;
        lt = kNone;
      }
    }
  }
  depth_ = depth;
  pos_ = lt == kNone && index.fatal() == ErrorKind::None ? end : pos;
}

void CutFinder::scan(std::string_view bytes, bool final) {
  const char* const base = bytes.data();
  const size_t len = bytes.size();
  if (broken_ || (!final && len < retry_at_)) return;
  const size_t blocks_end = len & ~size_t{63};
  if (blocks_end > pos_) {
    scan_blocks(base, len, blocks_end);
    if (broken_) return;
  }
  while (pos_ < len) {
    const char* const found = detail::find_byte(base + pos_, base + len, '<');
    if (found == nullptr) {
      pos_ = len;
      return;
    }
    const size_t lt = static_cast<size_t>(found - base);
    const detail::MarkupEnd end = detail::markup_end(base, len, lt);
    if (end.error != ErrorKind::None) {
      // Broken at the very end: the rest of it may come with the next piece.
      if (!final && end.pos + 1 >= len) {
        pos_ = lt;
        retry_at_ = len + std::max<size_t>(len - lt, 1);
        return;
      }
      broken_ = true;
      return;
    }
    if (!take(base, len, lt, end.gt)) {
      broken_ = true;
      return;
    }
    pos_ = end.gt + 1;
  }
}

void CutFinder::drop_to_cut() noexcept {
  if (cut_ == kNone) return;
  pos_ -= cut_;
  for (auto& name : deep_) name.first -= cut_;  // opened after the cut
  retry_at_ = retry_at_ > cut_ ? retry_at_ - cut_ : 0;
  prolog_end_ = 0;  // before the bytes kept: the prolog is the caller's now
  cut_ = kNone;
}

}  // namespace varnex::xml
