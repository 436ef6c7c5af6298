// The pull reader over the structural index: one read_event() per construct, positions as
// offsets into the caller's bytes, and one skip for read_to_end.
#include "xml/reader.hpp"

#include <cstring>

#include "xml/attributes.hpp"

namespace varnex::xml {

using detail::end_name_end;
using detail::name_length;
using detail::ws_byte;

Reader::Reader(std::string_view input, Config config) noexcept
    : base_(input.data()),
      len_(input.size()),
      config_(config),
      names_kept_(config.check_end_names) {
  index_.reset(base_, len_);
}

void Reader::resume_at(size_t pos) noexcept {
  if (phase_ != Phase::Text || pos <= pos_ || pos > len_) return;
  pos_ = pos;
  index_.reset_at(base_, len_, pos);
  ++chunk_;
  cur_ = end_ = nullptr;
  lt_ = gt_ = 0;
}

bool Reader::advance_call() noexcept { return advance(); }

bool Reader::advance_chunk() noexcept {
  if (cur_ != end_) ++cur_;
  while (cur_ == end_) {
    if (hold_) [[unlikely]] {
      held_ = true;
      return false;
    }
    if (!index_.next()) return false;
    ++chunk_;
    cur_ = index_.begin();
    end_ = index_.end();
  }
  lt_ = cur_->lt;
  gt_ = cur_->gt;
  block_at_ = cur_->at();
  return true;
}

Reader::Mark Reader::mark() const noexcept {
  return Mark{pos_,
              err_pos_,
              depth_,
              last_skip_,
              block_at_,
              cur_,
              end_,
              lt_,
              gt_,
              chunk_,
              static_cast<uint8_t>(phase_)};
}

bool Reader::rewind(const Mark& m) noexcept {
  if (m.chunk != chunk_ || names_kept_) return false;
  pos_ = m.pos;
  err_pos_ = m.err_pos;
  depth_ = m.depth;
  last_skip_ = m.last_skip;
  block_at_ = m.block_at;
  cur_ = m.cur;
  end_ = m.end;
  lt_ = m.lt;
  gt_ = m.gt;
  phase_ = static_cast<Phase>(m.phase);
  return true;
}

bool Reader::passed_name(const Mark& from, size_t before, std::string_view name) const noexcept {
  if (from.chunk != chunk_ || from.cur == nullptr || cur_ == nullptr || name.empty()) return true;
  return detail::index_names(base_, len_, from.cur, cur_, from.lt, before, name);
}

[[gnu::always_inline]] inline Event Reader::make_event(EventKind kind, size_t begin, size_t end,
                                                       size_t name_len) const noexcept {
  Event ev;
  ev.kind = kind;
  ev.encoding = enc_;
  ev.content = std::string_view(base_ + begin, end - begin);
  ev.name_len = name_len;
  return ev;
}

Event Reader::syntax_error(ErrorKind kind, size_t lt, size_t new_pos) noexcept {
  ++errors_;
  err_pos_ = lt;
  pos_ = new_pos;
  phase_ = Phase::Done;
  Event ev;
  ev.kind = EventKind::Error;
  ev.error = kind;
  ev.encoding = enc_;
  return ev;
}

Event Reader::ill_formed(ErrorKind kind, size_t err_pos, std::string_view name) noexcept {
  ++errors_;
  err_pos_ = err_pos;
  Event ev;
  ev.kind = EventKind::Error;
  ev.error = kind;
  ev.encoding = enc_;
  ev.content = name;
  ev.name_len = name.size();
  return ev;
}

// Drops a byte-order mark (it stays counted in positions) and takes the encoding it announces.
void Reader::start_document() noexcept {
  phase_ = Phase::Text;
  const auto* b = reinterpret_cast<const unsigned char*>(base_);
  if (!config_.detect_encoding) {
    if (len_ >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) pos_ += 3;
    return;
  }
  Encoding detected = Encoding::Utf8;
  size_t drop = 0;
  bool found = true;
  if (len_ >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    detected = Encoding::Utf16BE;
    drop = 2;
  } else if (len_ >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    detected = Encoding::Utf16LE;
    drop = 2;
  } else if (len_ >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    detected = Encoding::Utf8;
    drop = 3;
  } else if (len_ >= 4 && b[0] == 0x00 && b[1] == 0x3C && b[2] == 0x00 && b[3] == 0x3F) {
    detected = Encoding::Utf16BE;
  } else if (len_ >= 4 && b[0] == 0x3C && b[1] == 0x00 && b[2] == 0x3F && b[3] == 0x00) {
    detected = Encoding::Utf16LE;
  } else if (len_ >= 4 && std::memcmp(b, "<?xm", 4) == 0) {
    detected = Encoding::Utf8;
  } else {
    found = false;
  }
  if (found && (origin_ == EncodingOrigin::Implicit || origin_ == EncodingOrigin::Bom)) {
    enc_ = detected;
    // A mark decides for good; bytes that only look like "<?" leave it to the declaration.
    origin_ = drop > 0 ? EncodingOrigin::Bom : EncodingOrigin::Implicit;
  }
  pos_ += drop;
}

Event Reader::end_of_input() noexcept {
  const size_t begin = pos_;
  pos_ = len_;
  phase_ = Phase::Done;
  if (begin == len_) return make_event(EventKind::Eof, pos_, pos_);
  return make_event(EventKind::Text, begin, len_);
}

Event Reader::read_event() noexcept {
  if (phase_ != Phase::Text) [[unlikely]] {
    if (phase_ == Phase::Done) return make_event(EventKind::Eof, pos_, pos_);
    start_document();
  }
  if (!has_mark()) return end_of_input();
  const size_t lt = peek_lt();
  if (pos_ < lt) {
    const size_t begin = pos_;
    pos_ = lt;
    return make_event(EventKind::Text, begin, lt);
  }
  return markup_event(lt);
}

Event Reader::read_markup(size_t lt) noexcept { return markup_event(lt); }

// A comment, CDATA section or DOCTYPE the index found closed at gt (the byte after '!' picks
// which).
Event Reader::bang_event(size_t lt, size_t gt) noexcept {
  switch (base_[lt + 2]) {
    case '-': return make_event(EventKind::Comment, lt + 4, gt - 2);
    case '[': return make_event(EventKind::CData, lt + 9, gt - 2);
    default: {
      size_t begin = lt + 9;  // after "<!DOCTYPE"
      while (begin < gt && ws_byte(base_[begin])) ++begin;
      if (begin == gt) return ill_formed(ErrorKind::MissingDoctypeName, gt, {});
      return make_event(EventKind::DocType, begin, gt);
    }
  }
}

// pi ::= '<?' content '?>' ; a content of 'xml' or 'xml' ws ... is a Decl.
Event Reader::question_event(size_t lt, size_t gt) noexcept {
  const size_t begin = lt + 2;
  const size_t end = gt - 1;
  const size_t len = end - begin;
  const char* c = base_ + begin;
  if (len >= 3 && c[0] == 'x' && c[1] == 'm' && c[2] == 'l' && (len == 3 || ws_byte(c[3]))) {
    refine_encoding_from_decl(std::string_view(c, len));
    return make_event(EventKind::Decl, begin, end, 3);
  }
  return make_event(EventKind::PI, begin, end, name_length(c, len, len_ - begin));
}

std::string_view declared_encoding(std::string_view decl) noexcept {
  Attributes attrs(decl, 3, /*with_checks=*/false);
  AttrItem item;
  while (attrs.next(&item)) {
    if (item.error != AttrErrorKind::None) return {};  // the first malformed entry ends it
    if (item.key == "encoding") return item.value;
  }
  return {};
}

void Reader::refine_encoding_from_decl(std::string_view decl) noexcept {
  if (origin_ != EncodingOrigin::Implicit) return;
  if (!config_.detect_encoding) return;
  Encoding enc;
  if (encoding_for_label(declared_encoding(decl), &enc)) {
    enc_ = enc;
    origin_ = EncodingOrigin::Declaration;
  }
}

void Reader::skip_text() noexcept {
  if (phase_ != Phase::Text) return;
  if (has_mark()) {
    pos_ = peek_lt();
  } else {
    pos_ = len_;
    phase_ = Phase::Done;
  }
}

void Reader::keep_name(size_t name_start, size_t name_len) noexcept {
  try {
    open_.emplace_back(name_start, name_len);
  } catch (...) {
    // Out of memory: forget the names and stop comparing them.
    names_kept_ = false;
    open_.clear();
    open_.shrink_to_fit();
  }
}

bool Reader::read_leaf_text(std::string_view* text) noexcept {
  // Only where the End would be plain: no names kept.
  if (phase_ != Phase::Text || depth_ == 0 || names_kept_ || !has_mark()) return false;
  const size_t lt = peek_lt();
  if (lt + 1 >= len_ || base_[lt + 1] != '/') return false;
  if (gt_ == 0 && cur_ + 1 == end_ && detail::markup_end(base_, len_, lt).error != ErrorKind::None)
      [[unlikely]] {
    // Its '>' would be in a later chunk, and there is none: the input ends in it, broken, and
    // nothing is read here.
    return false;
  }
  size_t gt = 0;
  if (!take_markup(&gt)) return false;  // not reached: markup_end found its '>'
  *text = std::string_view(base_ + pos_, lt - pos_);
  --depth_;
  pos_ = gt + 1;
  return true;
}

void Reader::pass_element(std::string_view name) noexcept {
  while (read_to_end(name) == ErrorKind::MissingDoctypeName) {
  }
}

size_t Reader::pass_siblings(std::string_view name, SiblingTest test) noexcept {
  if (pass_leaf(name)) return 1;
  size_t siblings = 0;
  while (read_to_end(name, nullptr, &siblings, test) == ErrorKind::MissingDoctypeName) {
  }
  return 1 + siblings;
}

ErrorKind Reader::read_to_end(std::string_view name, SkipSpan* span, size_t* siblings,
                              SiblingTest test) noexcept {
  if (phase_ != Phase::Text) [[unlikely]] {
    if (phase_ == Phase::Done) return ErrorKind::MissingEndTag;
    start_document();
  }
  const size_t start = pos_;
  if (names_kept_) return skip<true, false>(name, start, span, nullptr, {});
  return siblings == nullptr ? skip<false, false>(name, start, span, nullptr, {})
                             : skip<false, true>(name, start, span, siblings, test);
}

// read_to_end over the index. Without names to keep, the index's skip kernel passes ordinary
// markup (whole blocks at a time where it can), counts the tags of the target's name and passes
// the end tag that closes the element; it stops at anything else, which is taken here: an end
// tag that may find nothing open, a construct, a markup that runs on into another chunk. With
// `Checked` every markup is taken here, to keep and compare the names of open elements as
// read_event does. Text is never looked at.
template <bool Checked, bool Siblings>
ErrorKind Reader::skip(std::string_view name, size_t start, SkipSpan* span, size_t* siblings,
                       SiblingTest test) noexcept {
  const char* const base = base_;
  const size_t n = name.size();
  // The kernel reads a word from the name as from the input: only a name in the input.
  const bool kernel = !Checked && n > 0 && name.data() >= base && name.data() + n <= base + len_;
  size_t depth = 0;  // elements named `name` open inside the skipped one
  for (;;) {
    if (Checked) {
      ErrorKind result = ErrorKind::None;
      if (skip_checked_run(name, &depth, start, span, &result)) return result;
    }
    // An end tag next (most skipped elements are a field: text, then their end tag) is taken
    // here, without the kernel.
    if (kernel && cur_ != end_ &&
        (lt_ == 0 || peek_lt() + 1 >= len_ || base[peek_lt() + 1] != '/')) {
      // Skipped elements come in runs of one kind: after a short one, tags are told apart by
      // a second byte of their names.
      detail::IndexCursor c{cur_, end_, lt_, gt_, last_skip_ < kLongSkip};
      c.finishes = true;
      c.named = depth;
      c.siblings_too = Siblings;
      if constexpr (Siblings) {
        c.sibling_test = test.passes;
        c.sibling_context = test.context;
      }
      detail::index_skip(base, len_, c, name, &depth_);
      cur_ = c.cur;
      lt_ = c.lt;
      gt_ = c.gt;
      block_at_ = cur_->at();
      depth = c.named;
      if (Siblings && c.siblings != 0) {
        // Now in the last sibling taken (or past its end tag).
        *siblings += c.siblings;
        start = c.sibling_end;
      }
      if (c.close_gt != 0) {
        pos_ = c.close_gt + 1;
        last_skip_ = c.close_lt - start;
        if (span != nullptr) *span = SkipSpan{start, c.close_lt};
        return ErrorKind::None;
      }
    }
    if (!has_mark()) [[unlikely]] {
      pos_ = len_;
      phase_ = Phase::Done;
      return ErrorKind::MissingEndTag;
    }
    const size_t lt = peek_lt();
    size_t gt = 0;
    if (!take_markup(&gt)) [[unlikely]] {
      return syntax_error(index_.fatal(), lt, index_.fatal_pos()).error;
    }
    const char kind = base[lt + 1];
    if (kind == '/') {
      const size_t begin = lt + 2;
      pos_ = gt + 1;
      const size_t name_end = end_name_end(base, begin, gt);
      const std::string_view end_name(base + begin, name_end - begin);
      const Event ev = close_element(end_name, lt);
      if (ev.kind == EventKind::Error) return ev.error;
      // A name in the input (before this end tag) compares a word at a time.
      if (end_name.size() == n &&
          (kernel ? detail::same_bytes(base + begin, name.data(), n, len_ - begin)
                  : std::memcmp(base + begin, name.data(), n) == 0)) {
        if (depth == 0) {
          last_skip_ = lt - start;
          if (span != nullptr) *span = SkipSpan{start, lt};
          return ErrorKind::None;
        }
        --depth;
      }
    } else if (kind == '!' || kind == '?') {
      pos_ = gt + 1;
      const Event ev = kind == '!' ? bang_event(lt, gt) : question_event(lt, gt);
      if (ev.kind == EventKind::Error) return ev.error;
    } else if (base[gt - 1] != '/') {
      // A start tag (empty-element tags never count). Its name runs to the first ws; a target
      // that holds ws matches none.
      const size_t begin = lt + 1;
      const size_t name_len = name_length(base + begin, gt - begin, len_ - begin);
      push_open(begin, name_len);
      if (std::string_view(base + begin, name_len) == name &&
          name.find_first_of(" \t\r\n") == std::string_view::npos) {
        ++depth;
      }
    }
  }
}

// Start and end tags of names kept on the stack, taken with the place in the index and the depth
// in locals; true with `*result` when the skip ends in one of them, false before any other
// markup (a construct, a mismatched or unmatched end tag, a markup that closes in a later
// chunk, a name stack out of memory, the end of input), which skip<true> then takes.
bool Reader::skip_checked_run(std::string_view name, size_t* depth, size_t start, SkipSpan* span,
                              ErrorKind* result) noexcept {
  const char* const base = base_;
  const size_t len = len_;
  uint64_t lts = lt_;
  uint64_t gts = gt_;
  size_t block = block_at_;
  const detail::IndexBlock* cur = cur_;
  size_t open = depth_;
  bool done = false;
  for (;;) {
    if (lts == 0) {
      if (cur == end_ || cur + 1 == end_) break;
      ++cur;
      lts = cur->lt;
      gts = cur->gt;
      block = cur->at();
    }
    const size_t lt = block + static_cast<size_t>(__builtin_ctzll(lts));
    // The '>': in this block or the next one of the chunk.
    size_t gt = 0;
    const detail::IndexBlock* closing = nullptr;
    uint64_t closing_gts = 0;
    if (!detail::markup_close(cur, end_, gts, &closing, &closing_gts)) break;
    const char kind = base[lt + 1];
    if (kind == '!' || kind == '?') break;
    gt = closing->at() + static_cast<size_t>(__builtin_ctzll(closing_gts));
    if (kind == '/') {
      if (open_.empty()) break;  // nothing open, or the names were lost
      const size_t begin = lt + 2;
      const size_t end = ws_byte(base[gt - 1]) ? end_name_end(base, begin, gt) : gt;
      const auto [top, top_len] = open_.back();
      const size_t n = end - begin;
      // The open name is before the end tag's in the input: as far can be read from both.
      if (n != top_len || !detail::same_bytes(base + top, base + begin, n, len - begin)) break;
      open_.pop_back();
      --open;
      if (n == name.size() && std::memcmp(base + begin, name.data(), n) == 0) {
        if (*depth == 0) {
          pos_ = gt + 1;
          if (span != nullptr) *span = SkipSpan{start, lt};
          done = true;
        } else {
          --*depth;
        }
      }
    } else if (base[gt - 1] != '/') {
      const size_t begin = lt + 1;
      const size_t n = name_length(base + begin, gt - begin, len - begin);
      keep_name(begin, n);      // the depth is `open` here, the reader's at the end
      if (!names_kept_) break;  // out of memory: skip<true> takes it again, without names
      ++open;
      if (n == name.size() && std::memcmp(base + begin, name.data(), n) == 0 &&
          name.find_first_of(" \t\r\n") == std::string_view::npos) {
        ++*depth;
      }
    }
    // Taken.
    if (closing != cur) block = closing->at();
    detail::take_markup(cur, lts, gts, closing, closing_gts);
    if (done) break;
  }
  cur_ = cur;
  lt_ = lts;
  gt_ = gts;
  block_at_ = block;
  depth_ = open;
  if (done) *result = ErrorKind::None;
  return done;
}

}  // namespace varnex::xml
