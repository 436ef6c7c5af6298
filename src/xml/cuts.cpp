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

[[gnu::always_inline]] inline bool CutFinder::inside(const char* base, size_t len, size_t lt,
                                                     size_t gt, size_t* depth) noexcept {
  const char kind = base[lt + 1];
  if (kind == '!' || kind == '?') return true;
  const char* const name = base + record_at_;
  // Most names differ from the record's in their first byte (an empty name has none).
  if (kind == '/') {
    const bool named = (record_len_ == 0 || base[lt + 2] == name[0]) &&
                       ends_name(base, len, lt, gt, record_at_, record_len_);
    const bool ends = *depth == max_depth_ + 1;  // by depth, this closes the record
    --*depth;
    if (!named) return !ends;
    if (same_ == 0) return ends;
    --same_;
    return !ends;
  }
  if (base[gt - 1] == '/') return true;  // empty elements never count
  if (record_len_ == 0 || base[lt + 1] == name[0]) {
    const std::string_view opened = tag_name(base, len, lt, gt);
    same_ += opened.size() == record_len_ &&
             detail::same_bytes(name, opened.data(), record_len_, len - (lt + 1));
  }
  ++*depth;
  return true;
}

bool CutFinder::take(const char* base, size_t len, size_t lt, size_t gt) {
  const char kind = base[lt + 1];
  if (depth_ > max_depth_) {
    if (!inside(base, len, lt, gt, &depth_)) return false;
    if (kind == '/' && depth_ == max_depth_ && remembers(depth_)) {
      note_ended(depth_, std::string_view(base + record_at_, record_len_));
    }
  } else if (kind == '/') {
    const size_t begin = lt + 2;
    const std::string_view name(base + begin, detail::end_name_end(base, begin, gt) - begin);
    // An end tag that is not the open element's: the reader's errors and its skips by name
    // decide what follows, and no cut is sure.
    if (depth_ == 0 || open_name(open_.back()) != name)
      return false;  // the last cut's context stays
    open_.pop_back();
    --depth_;
    if (remembers(depth_)) note_ended(depth_, name);
  } else if (kind != '!' && kind != '?') {
    if (prolog_end_ == kNone) prolog_end_ = lt;
    if (base[gt - 1] == '/') {
      if (remembers(depth_)) note_ended(depth_, tag_name(base, len, lt, gt));
    } else if (++depth_ <= max_depth_) {
      open_.emplace_back(base + lt, gt + 1 - lt);
      if (depth_ < ended_.size()) ended_[depth_].clear();
    } else {  // a record opens
      record_at_ = lt + 1;
      record_len_ = tag_name(base, len, lt, gt).size();
      same_ = 0;
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
  const size_t record_depth = max_depth_ + 1;
  size_t depth = depth_;
  size_t lt = kNone;  // the '<' of the markup whose '>' has not come
  while (index.next()) {
    const detail::IndexBlock* cur = index.begin();
    const detail::IndexBlock* const last = index.end();
    if (cur == last) continue;
    uint64_t lts = cur->lt;
    uint64_t gts = cur->gt;
    for (;;) {
      if (lt == kNone) {
        if (depth >= record_depth && record_len_ > 0) {
          // Inside a record, what cannot end it is passed as the reader's skip passes it, whole
          // blocks at a time; the rest is counted by inside() and take().
          detail::IndexCursor c{cur, last, lts, gts};
          size_t open = depth - record_depth;
          detail::index_skip(base, len, c, {base + record_at_, record_len_}, &open);
          depth = record_depth + open;
          cur = c.cur;
          lts = c.lt;
          gts = c.gt;
        }
        if (lts == 0) {
          if (++cur == last) break;
          lts = cur->lt;
          gts = cur->gt;
          continue;
        }
        lt = cur->at() + static_cast<unsigned>(__builtin_ctzll(lts));
        lts &= lts - 1;
      }
      if (gts == 0) {  // its '>' is in a later block
        if (++cur == last) break;
        lts = cur->lt;
        gts = cur->gt;
        continue;
      }
      const size_t gt = cur->at() + static_cast<unsigned>(__builtin_ctzll(gts));
      gts &= gts - 1;
      const char kind = base[lt + 1];
      bool ok = false;
      if (depth > record_depth || (depth == record_depth && kind != '/')) [[likely]] {
        ok = inside(base, len, lt, gt, &depth);  // the record's own end tag is take()'s
      } else {
        depth_ = depth;
        ok = take(base, len, lt, gt);
        depth = depth_;
      }
      if (!ok) {
        broken_ = true;
        return;
      }
      lt = kNone;
    }
  }
  depth_ = depth;
  // Broken markup at the end has its '<' indexed: it is read again from there.
  if (lt == kNone && index.fatal() != ErrorKind::None) broken_ = true;
  pos_ = lt == kNone ? end : lt;
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
  if (depth_ > max_depth_) record_at_ -= cut_;  // opened after the cut
  retry_at_ = retry_at_ > cut_ ? retry_at_ - cut_ : 0;
  prolog_end_ = 0;  // before the bytes kept: the prolog is the caller's now
  cut_ = kNone;
}

}  // namespace varnex::xml
