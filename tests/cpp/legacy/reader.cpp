// The pull reader: one read_event() per construct, positions as offsets into
// the caller's bytes, and a dedicated skip for read_to_end.
#include "legacy/reader.hpp"

#include <cstring>

#include "xml/attributes.hpp"
#include "legacy/scan.hpp"
#include "legacy/blocks.hpp"

namespace varnex::legacy {

using xml::AttrErrorKind;
using xml::AttrItem;
using xml::Attributes;

using detail::find_byte;
using detail::find_tag_end;
using detail::name_length;
using detail::ws_byte;

constexpr size_t kNpos = static_cast<size_t>(-1);

Reader::Reader(std::string_view input, Config config) noexcept
    : base_(input.data()), len_(input.size()), config_(config) {}

size_t Reader::buffer_position() const noexcept {
  // A '<' that ended a Text event is consumed but not yet counted.
  return phase_ == Phase::Markup ? pos_ - 1 : pos_;
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
  err_pos_ = err_pos;
  Event ev;
  ev.kind = EventKind::Error;
  ev.error = kind;
  ev.encoding = enc_;
  ev.content = name;
  ev.name_len = name.size();
  return ev;
}

// Drops a byte-order mark (it stays counted in positions) and takes the
// encoding it announces.
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
    origin_ = drop > 0 ? EncodingOrigin::Bom : EncodingOrigin::Implicit;
  }
  pos_ += drop;
}

// The '<' that ends text starting at `at`, npos if none. Most text is
// short and ends inside the window that also classifies the tag after it;
// long text is searched a block at a time.
[[gnu::always_inline]] inline size_t Reader::find_text_end(size_t at) noexcept {
  if (at - window_.start >= window_.size) window_.load(base_, len_, at);
  const uint64_t m = window_.lt & detail::from_bit(at - window_.start);
  if (m != 0) [[likely]]
    return window_.start + static_cast<size_t>(__builtin_ctzll(m));
  return find_long_text_end();
}

// Text that ran past its window: most of it ends in the next one.
size_t Reader::find_long_text_end() noexcept {
  const size_t next = window_.end();
  if (next >= len_) return kNpos;
  window_.load(base_, len_, next);
  if (window_.lt != 0) return next + static_cast<size_t>(__builtin_ctzll(window_.lt));
  const size_t lt = detail::find_lt(base_, len_, window_.end());
  if (lt != kNpos) window_.load(base_, len_, lt);
  return lt;
}

Event Reader::read_event() noexcept {
  switch (phase_) {
    case Phase::Text:
      break;
    case Phase::Markup:
      phase_ = Phase::Text;
      return parse_markup();
    case Phase::Init:
      start_document();
      break;
    case Phase::SyntheticEnd:
      return synthetic_end();
    case Phase::Done:
      return make_event(EventKind::Eof, pos_, pos_);
  }

  if (config_.trim_text_start) [[unlikely]] {
    while (pos_ < len_ && ws_byte(base_[pos_])) ++pos_;
  }
  // Markup right after markup is the common case in dense documents.
  if (pos_ < len_ && base_[pos_] == '<') {
    ++pos_;
    return parse_markup();
  }
  const size_t begin = pos_;
  const size_t lt = find_text_end(pos_);
  size_t end;
  if (lt == static_cast<size_t>(-1)) {
    end = len_;
    pos_ = len_;
    phase_ = Phase::Done;
  } else {
    end = lt;
    pos_ = end + 1;
    phase_ = Phase::Markup;
  }
  if (config_.trim_text_end) [[unlikely]] {
    while (end > begin && ws_byte(base_[end - 1])) --end;
  }
  // Text that stops at markup is reported even when trimmed to nothing.
  if (end == begin && phase_ == Phase::Done) return make_event(EventKind::Eof, pos_, pos_);
  return make_event(EventKind::Text, begin, end);
}

// pos_ is the byte after '<'; the phase is already Text.
[[gnu::always_inline]] inline Event Reader::parse_markup() noexcept {
  const size_t lt = pos_ - 1;
  if (pos_ >= len_) [[unlikely]]
    return syntax_error(ErrorKind::UnclosedTag, lt, len_);
  switch (base_[pos_]) {
    case '/':
      return parse_end(lt);
    case '!':
      return parse_bang(lt);
    case '?':
      return parse_question(lt);
    default:
      return parse_start(lt);
  }
}

inline void Reader::push_open(size_t name_start, size_t name_len) noexcept {
  ++depth_;
  if (!config_.check_end_names && open_.empty()) [[likely]]
    return;
  try {
    open_.emplace_back(config_.check_end_names ? name_start : kUntracked, name_len);
  } catch (...) {
    // Out of memory: forget the names; unknown names compare as matching.
    open_.clear();
    open_.shrink_to_fit();
  }
}

// start-tag ::= '<' content '>' ; empty ::= '<' content '/>' (quote-aware '>')
[[gnu::always_inline]] inline Event Reader::parse_start(size_t lt) noexcept {
  const size_t gt = detail::window_find_tag_end(window_, base_, len_, pos_);
  if (gt == static_cast<size_t>(-1)) [[unlikely]]
    return syntax_error(ErrorKind::UnclosedTag, lt, len_);
  const size_t begin = pos_;
  size_t end = gt;
  pos_ = end + 1;
  const bool empty = end > begin && base_[end - 1] == '/';
  if (empty) --end;
  const size_t name_len = name_length(base_ + begin, end - begin, len_ - begin);
  if (empty) {
    if (!config_.expand_empty_elements) [[likely]]
      return make_event(EventKind::Empty, begin, end, name_len);
    synthetic_end_name_ = std::string_view(base_ + begin, name_len);
    phase_ = Phase::SyntheticEnd;
  }
  push_open(begin, name_len);
  return make_event(EventKind::Start, begin, end, name_len);
}

// end-tag ::= '</' name ws* '>' (the same quote-aware scan as start tags)
[[gnu::always_inline]] inline Event Reader::parse_end(size_t lt) noexcept {
  const size_t gt = detail::window_find_tag_end(window_, base_, len_, pos_ + 1);
  if (gt == static_cast<size_t>(-1)) [[unlikely]]
    return syntax_error(ErrorKind::UnclosedTag, lt, len_);
  const size_t begin = pos_ + 1;
  const size_t end =
      config_.trim_markup_names_in_closing_tags ? detail::end_name_end(base_, begin, gt) : gt;
  pos_ = gt + 1;
  return close_element(std::string_view(base_ + begin, end - begin), lt);
}

[[gnu::always_inline]] inline Event Reader::close_element(std::string_view name,
                                                          size_t lt) noexcept {
  if (depth_ == 0) [[unlikely]] {
    if (!config_.allow_unmatched_ends) {
      mismatch_expected_ = {};
      mismatch_found_ = name;
      return ill_formed(ErrorKind::UnmatchedEndTag, lt, name);
    }
  } else {
    --depth_;
    if (!open_.empty()) {
      const auto [start, len] = open_.back();
      open_.pop_back();
      // The entry is gone whether or not the names match.
      if (config_.check_end_names && start != kUntracked) {
        const std::string_view expected(base_ + start, len);
        if (expected != name) {
          mismatch_expected_ = expected;
          mismatch_found_ = name;
          return ill_formed(ErrorKind::MismatchedEndTag, lt, name);
        }
      }
    }
  }
  Event ev;
  ev.kind = EventKind::End;
  ev.encoding = enc_;
  ev.content = name;
  ev.name_len = name.size();
  return ev;
}

Event Reader::synthetic_end() noexcept {
  phase_ = Phase::Text;
  if (depth_ > 0) --depth_;
  if (!open_.empty()) open_.pop_back();
  Event ev;
  ev.kind = EventKind::End;
  ev.encoding = enc_;
  ev.content = synthetic_end_name_;
  ev.name_len = synthetic_end_name_.size();
  return ev;
}

// doctype ::= '<!DOCTYPE' ... '>' : the first '>' outside quoted literals, at
// bracket depth 0. Inside the internal subset ('[' ... ']') comments and
// processing instructions hide whatever they hold as well. npos if none.
size_t Reader::doctype_end(size_t from) const noexcept {
  const char* const end = base_ + len_;
  size_t brackets = 0;
  for (size_t i = from; i < len_; ++i) {
    const char c = base_[i];
    const char* close = nullptr;
    if (c == '"' || c == '\'') {
      close = find_byte(base_ + i + 1, end, c);
    } else if (c == '<' && brackets > 0 && len_ - i >= 4 &&
               std::memcmp(base_ + i, "<!--", 4) == 0) {
      const std::string_view rest(base_ + i + 4, len_ - i - 4);
      const size_t at = rest.find("-->");
      close = at == std::string_view::npos ? nullptr : rest.data() + at + 2;
    } else if (c == '<' && brackets > 0 && i + 1 < len_ && base_[i + 1] == '?') {
      const std::string_view rest(base_ + i + 2, len_ - i - 2);
      const size_t at = rest.find("?>");
      close = at == std::string_view::npos ? nullptr : rest.data() + at + 1;
    } else {
      if (c == '[') ++brackets;
      if (c == ']' && brackets > 0) --brackets;
      if (c == '>' && brackets == 0) return i;
      continue;
    }
    if (close == nullptr) return kNpos;
    i = static_cast<size_t>(close - base_);
  }
  return kNpos;
}

// '<!' picks a construct by the byte after '!', finds its terminator, and
// only then checks the full opening keyword.
Event Reader::parse_bang(size_t lt) noexcept {
  const size_t bang = pos_;
  if (bang + 1 >= len_) return syntax_error(ErrorKind::InvalidBangMarkup, lt, bang);
  const char kind = base_[bang + 1];

  if (kind == '-') {
    // The first '-->' that starts at or after '<!--'.
    size_t from = bang + 5;
    size_t gt;
    for (;;) {
      const char* p = from < len_ ? find_byte(base_ + from, base_ + len_, '>') : nullptr;
      if (p == nullptr) return syntax_error(ErrorKind::UnclosedComment, lt, len_);
      gt = static_cast<size_t>(p - base_);
      if (base_[gt - 1] == '-' && base_[gt - 2] == '-') break;
      from = gt + 1;
    }
    if (base_[bang + 2] != '-') return syntax_error(ErrorKind::UnclosedComment, lt, gt + 1);
    pos_ = gt + 1;
    const size_t begin = bang + 3;
    const size_t end = gt - 2;
    if (config_.check_comments) {
      // Each '-' followed by '-' (the closing one included) is an error.
      // The stored offset is relative to the previous '-', as it always was.
      size_t hay = begin;
      while (hay < end) {
        const auto* dash = static_cast<const char*>(std::memchr(base_ + hay, '-', end - hay));
        if (dash == nullptr) break;
        const size_t at = static_cast<size_t>(dash - base_);
        if (base_[at + 1] == '-')
          return ill_formed(ErrorKind::DoubleHyphenInComment, begin + (at - hay), {});
        hay = at + 1;
      }
    }
    return make_event(EventKind::Comment, begin, end);
  }

  if (kind == '[') {
    // The first ']]>' after '<!['.
    size_t from = bang + 2;
    size_t gt;
    for (;;) {
      const char* p = from < len_ ? find_byte(base_ + from, base_ + len_, '>') : nullptr;
      if (p == nullptr) return syntax_error(ErrorKind::UnclosedCData, lt, len_);
      gt = static_cast<size_t>(p - base_);
      if (base_[gt - 1] == ']' && base_[gt - 2] == ']') break;
      from = gt + 1;
    }
    if (gt - bang < 10 || std::memcmp(base_ + bang, "![CDATA[", 8) != 0)
      return syntax_error(ErrorKind::UnclosedCData, lt, gt + 1);
    pos_ = gt + 1;
    return make_event(EventKind::CData, bang + 8, gt - 2);
  }

  if (kind == 'D' || kind == 'd') {
    const size_t gt = doctype_end(bang + 2);
    if (gt == kNpos) return syntax_error(ErrorKind::UnclosedDoctype, lt, len_);
    static constexpr char kKeyword[] = "!DOCTYPE";
    bool keyword = gt - bang >= 8;
    for (size_t i = 0; keyword && i < 8; ++i) {
      char c = base_[bang + i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      keyword = c == kKeyword[i];
    }
    if (!keyword) return syntax_error(ErrorKind::UnclosedDoctype, lt, gt + 1);
    pos_ = gt + 1;
    size_t begin = bang + 8;
    while (begin < gt && ws_byte(base_[begin])) ++begin;
    if (begin == gt) return ill_formed(ErrorKind::MissingDoctypeName, gt, {});
    return make_event(EventKind::DocType, begin, gt);
  }

  return syntax_error(ErrorKind::InvalidBangMarkup, lt, bang);
}

// pi ::= '<?' content '?>' ; a content of 'xml' or 'xml' ws ... is a Decl.
Event Reader::parse_question(size_t lt) noexcept {
  const size_t q = pos_;
  size_t from = q + 1;
  size_t gt;
  for (;;) {
    const char* p = from < len_ ? find_byte(base_ + from, base_ + len_, '>') : nullptr;
    if (p == nullptr) return syntax_error(ErrorKind::UnclosedPIOrXmlDecl, lt, len_);
    gt = static_cast<size_t>(p - base_);
    if (base_[gt - 1] == '?') break;
    from = gt + 1;
  }
  // In '<?>' the only '?' is the opening one.
  if (gt == q + 1) return syntax_error(ErrorKind::UnclosedPIOrXmlDecl, lt, gt + 1);
  pos_ = gt + 1;
  const size_t begin = q + 1;
  const size_t end = gt - 1;
  const size_t len = end - begin;
  const char* c = base_ + begin;
  if (len >= 3 && c[0] == 'x' && c[1] == 'm' && c[2] == 'l' && (len == 3 || ws_byte(c[3]))) {
    refine_encoding_from_decl(std::string_view(c, len));
    return make_event(EventKind::Decl, begin, end, 3);
  }
  return make_event(EventKind::PI, begin, end, name_length(c, len, len_ - begin));
}

void Reader::refine_encoding_from_decl(std::string_view decl) noexcept {
  if (origin_ != EncodingOrigin::Implicit) return;
  if (!config_.detect_encoding) return;
  Attributes attrs(decl, 3, /*with_checks=*/false);
  AttrItem item;
  while (attrs.next(&item)) {
    if (item.error != AttrErrorKind::None) return;  // the first malformed entry ends the search
    if (item.key == "encoding") {
      Encoding enc;
      if (encoding_for_label(item.value, &enc)) {
        enc_ = enc;
        origin_ = EncodingOrigin::Declaration;
      }
      return;
    }
  }
}

// Bytes taken tag by tag at the start of a skip before runs of whole blocks.
constexpr size_t kSkipWarmupBytes = 32;
// A skip at least this long is followed by one that starts with whole blocks.
constexpr size_t kLongSkip = 256;
// Windows the short walk may load before it leaves the rest to the skip.
constexpr int kShortWalkLoads = 4;

// Same events, errors and positions as a loop over read_event(), but text is
// skipped with one search for '<', no Text event is built, and tags whose
// names cannot matter are only scanned for their end.
ErrorKind Reader::read_to_end(std::string_view name, SkipSpan* span) noexcept {
  const size_t start = buffer_position();
  if (!config_.expand_empty_elements && (phase_ == Phase::Text || phase_ == Phase::Markup)) {
    if (!config_.check_end_names && open_.empty()) [[likely]] {
      // Most skipped elements are a field: text, then exactly their own end tag. Not looked
      // for after a long skip: records are skipped one after another.
      const size_t n = name.size();
      const size_t lt = last_skip_ >= kLongSkip || n == 0 ? kNpos : text_end();
      if (lt != kNpos && depth_ > 0 && len_ - lt > n + 2 && base_[lt + 1] == '/' &&
          base_[lt + 2 + n] == '>' && std::memcmp(base_ + lt + 2, name.data(), n) == 0) {
        --depth_;
        pos_ = lt + n + 3;
        phase_ = Phase::Text;
        last_skip_ = lt - start;
        if (span != nullptr) *span = SkipSpan{start, lt};
        return ErrorKind::None;
      }
      return skip_counting_depth(name, start, span);
    }
    if (config_.check_end_names) return skip_checking_names(name, start, span);
  }
  // A tag name never holds ws, so such a target matches no start tag.
  bool plain_name = true;
  for (const char c : name) plain_name = plain_name && !ws_byte(c);
  size_t depth = 0;
  for (;;) {
    size_t lt = 0;  // offset of this markup's '<'
    switch (phase_) {
      case Phase::Done:
        return ErrorKind::MissingEndTag;
      case Phase::SyntheticEnd: {
        const size_t end = pos_;
        const Event ev = synthetic_end();
        if (ev.content == name) {
          if (depth == 0) {
            if (span != nullptr) *span = SkipSpan{start, end};
            return ErrorKind::None;
          }
          --depth;
        }
        continue;
      }
      case Phase::Markup:
        lt = pos_ - 1;
        phase_ = Phase::Text;
        break;
      case Phase::Init:
        start_document();
        [[fallthrough]];
      case Phase::Text: {
        const char* p = pos_ < len_ && base_[pos_] == '<'
                            ? base_ + pos_
                            : find_byte(base_ + pos_, base_ + len_, '<');
        if (p == nullptr) {
          pos_ = len_;
          phase_ = Phase::Done;
          return ErrorKind::MissingEndTag;
        }
        lt = static_cast<size_t>(p - base_);
        pos_ = lt + 1;
        break;
      }
    }

    if (pos_ >= len_) [[unlikely]]
      return syntax_error(ErrorKind::UnclosedTag, lt, len_).error;
    const char first = base_[pos_];
    if (first == '/') {
      const Event ev = parse_end(lt);
      if (ev.kind == EventKind::Error) [[unlikely]]
        return ev.error;
      if (ev.content == name) {
        if (depth == 0) {
          if (span != nullptr) *span = SkipSpan{start, lt};
          return ErrorKind::None;
        }
        --depth;
      }
    } else if (first == '!' || first == '?') [[unlikely]] {
      const Event ev = first == '!' ? parse_bang(lt) : parse_question(lt);
      if (ev.kind == EventKind::Error) return ev.error;
    } else {
      const char* gt = find_tag_end(base_ + pos_, base_ + len_);
      if (gt == nullptr) [[unlikely]]
        return syntax_error(ErrorKind::UnclosedTag, lt, len_).error;
      const size_t begin = pos_;
      size_t end = static_cast<size_t>(gt - base_);
      pos_ = end + 1;
      if (end > begin && base_[end - 1] == '/') {
        if (!config_.expand_empty_elements) [[likely]]
          continue;
        --end;
        const size_t name_len = name_length(base_ + begin, end - begin, len_ - begin);
        synthetic_end_name_ = std::string_view(base_ + begin, name_len);
        phase_ = Phase::SyntheticEnd;
        push_open(begin, name_len);
        if (synthetic_end_name_ == name) ++depth;
        continue;
      }
      const size_t len = end - begin;
      if (config_.check_end_names || !open_.empty()) {
        const size_t name_len = name_length(base_ + begin, len, len_ - begin);
        push_open(begin, name_len);
        if (name_len == name.size() && std::memcmp(base_ + begin, name.data(), name_len) == 0)
          ++depth;
      } else {
        ++depth_;
        // The name is everything up to the first ws: a prefix equal to the
        // target followed by ws or the end of the content is the target.
        const size_t n = name.size();
        if (plain_name && len >= n && std::memcmp(base_ + begin, name.data(), n) == 0 &&
            (len == n || ws_byte(base_[begin + n])))
          ++depth;
      }
    }
  }
}

void Reader::pass_text() noexcept {
  const size_t lt = find_text_end(pos_);  // skip_text saw text, not markup, at pos_
  if (lt == kNpos) {
    pos_ = len_;
    phase_ = Phase::Done;
  } else {
    pos_ = lt + 1;
    phase_ = Phase::Markup;
  }
}

bool Reader::read_leaf_text(std::string_view* text) noexcept {
  // Only where the End would be plain: no names kept, no text trimmed.
  if ((phase_ != Phase::Text && phase_ != Phase::Markup) || depth_ == 0 || !open_.empty() ||
      config_.check_end_names || config_.trim_text_start || config_.trim_text_end) {
    return false;
  }
  const size_t begin = phase_ == Phase::Markup ? pos_ - 1 : pos_;
  const size_t lt = text_end();
  if (lt == kNpos || lt + 1 >= len_ || base_[lt + 1] != '/') return false;
  const size_t gt = detail::window_find_tag_end(window_, base_, len_, lt + 2);
  if (gt == kNpos) return false;
  *text = std::string_view(base_ + begin, lt - begin);
  --depth_;
  pos_ = gt + 1;
  phase_ = Phase::Text;
  return true;
}

// read_to_end when only the depth of open elements is kept (the query
// configuration): every byte is classified once per 64-byte window, and a
// tag costs a few mask operations unless its name can match.

namespace {

// Where a short walk stopped: in text, past the last tag it took.
struct ShortWalk {
  size_t pos = 0;
  size_t open = 0;
  size_t end_lt = kNpos;  // the '<' of the end tag that ends the skip, if found
};

// a[0..n) == b[0..n), where `room` bytes can be read from both: one word
// covers the usual short name.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, size_t n,
                                              size_t room) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (n <= 8 && room >= 8) {
    uint64_t x = 0, y = 0;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    const uint64_t keep = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
    return ((x ^ y) & keep) == 0;  // the first bytes are the low ones
  }
#else
  (void)room;
#endif
  return std::memcmp(a, b, n) == 0;
}


// Most skipped elements are a field: text, or a few plain tags, then the end
// tag. Their tags are taken from the window's masks alone while each is
// plain (inside one window, no quote or '<' before its '>', no '<!' or '<?',
// no tag that the skip could take for the target's) and the end tag is exactly
// '</name>'. Whatever else comes is left to the skip, from where the walk
// stopped, with `open` as it is there.
// `name_in_input`: `name` is a view into the input before `pos`, so words
// can be read from it as far as from the input at `pos`.
[[gnu::always_inline]] inline ShortWalk short_walk(detail::Window& w, const char* base, size_t len,
                                                   size_t pos, size_t open, std::string_view name,
                                                   bool name_in_input = false) noexcept {
  ShortWalk out{pos, open};
  const char first = name.front();
  // Whether the tag whose name starts at `begin` and content ends at `gt` may be the target
  // to the skip: it starts with the target's bytes. Others (`<tag>` in `<tags>`) are walked.
  const auto may_be_target = [&](size_t begin, size_t gt) {
    return base[begin] == first && gt - begin >= name.size() &&
           (name_in_input ? same_bytes(base + begin, name.data(), name.size(), len - begin)
                          : std::memcmp(base + begin, name.data(), name.size()) == 0);
  };
  size_t nest = 0;  // elements opened by the walk
  int loads = 0;
  for (size_t at = pos;;) {
    if (at - w.start >= w.size) {
      if (at >= len || ++loads > kShortWalkLoads) return out;
      w.load(base, len, at);
    }
    const uint64_t lts = w.lt & detail::from_bit(at - w.start);
    if (lts == 0) {  // text runs on past the window: the skip may go on from there
      at = w.end();
      out.pos = at;
      continue;
    }
    const unsigned i = static_cast<unsigned>(__builtin_ctzll(lts));
    const uint64_t after = detail::above64(i);
    const uint64_t gts = w.gt & after;
    if (gts == 0) {
      // The tag runs on past the window: again from its '<', unless it
      // is longer than a window or unclosed.
      if (i == 0 || ++loads > kShortWalkLoads) return out;
      at = w.start + i;
      w.load(base, len, at);
      continue;
    }
    const unsigned g = static_cast<unsigned>(__builtin_ctzll(gts));
    if (((w.lt | w.dq | w.sq) & after & ((1ull << g) - 1)) != 0) return out;
    const size_t lt = w.start + i;
    const size_t gt = w.start + g;
    const char kind = base[lt + 1];
    if (kind == '/') {
      const size_t begin = lt + 2;
      if (nest == 0) {
        if (out.open == 0 || gt - begin != name.size() ||
            !(name_in_input ? same_bytes(base + begin, name.data(), name.size(), len - begin)
                            : std::memcmp(base + begin, name.data(), name.size()) == 0)) {
          return out;
        }
        out.pos = gt + 1;
        --out.open;
        out.end_lt = lt;
        return out;
      }
      if (may_be_target(begin, gt)) return out;
      --nest;
      --out.open;
    } else {
      if (kind == '!' || kind == '?') return out;
      if (base[gt - 1] != '/') {  // empty elements never count
        if (may_be_target(lt + 1, gt)) return out;
        ++nest;
        ++out.open;
      }
    }
    at = gt + 1;
    out.pos = at;
  }
}

// How a skip from `pos` opens, `last_skip` after the previous one. Runs of
// ordinary tags go 64 bytes at a time; whatever they stop at is taken tag by
// tag up to `resume`. Most skipped elements are short, so the first bytes go
// tag by tag too, after a short walk, unless the last skip was long: records
// are skipped one after another.
[[gnu::always_inline]] inline ShortWalk skip_opening(detail::Window& w, const char* base,
                                                     size_t len, size_t pos, size_t open,
                                                     std::string_view name, size_t last_skip,
                                                     bool trim_end_names, bool name_in_input,
                                                     size_t* resume) noexcept {
  const bool was_long = last_skip >= kLongSkip;
  *resume = pos + (was_long ? 0 : kSkipWarmupBytes);
  // An end name loses trailing ws before it compares, so such a target is
  // never '</name>' exactly.
  if (was_long || name.empty() || (trim_end_names && ws_byte(name.back()))) {
    return ShortWalk{pos, open};
  }
  return short_walk(w, base, len, pos, open, name, name_in_input);
}

}  // namespace

// read_child's walk over the children of the element open now: text, and each
// child not wanted passed as read_to_end passes it, with the window and depth
// in registers. True with the event at a child wanted or at the walked
// element's end tag; false, the reader standing at it, at anything else
// read_event must take ('<!', '<?', an unclosed tag, an end tag with nothing
// open, the end of input).
bool Reader::walk_children(NameTest want, Event* ev) noexcept {
  const char* const base = base_;
  const size_t len = len_;
  const bool trim_end_names = config_.trim_markup_names_in_closing_tags;
  size_t pos = phase_ == Phase::Markup ? pos_ - 1 : pos_;
  size_t open = depth_;
  detail::Window& w = window_;
  phase_ = Phase::Text;
  auto leave = [&](size_t at) {
    depth_ = open;
    pos_ = at;
  };
  for (;;) {
    const size_t lt =
        pos < len && base[pos] == '<' ? pos : detail::window_find_lt(w, base, len, pos);
    if (lt == kNpos) {
      leave(pos);
      return false;
    }
    if (lt + 1 >= len || base[lt + 1] == '/' || base[lt + 1] == '!' || base[lt + 1] == '?') {
      const size_t gt = lt + 1 < len && base[lt + 1] == '/' && open > 0
                            ? detail::window_find_tag_end(w, base, len, lt + 2)
                            : kNpos;
      if (gt == kNpos) {
        leave(lt);
        return false;
      }
      // The end of the element whose children these are, as parse_end reads it.
      const size_t begin = lt + 2;
      const size_t end = trim_end_names ? detail::end_name_end(base, begin, gt) : gt;
      --open;
      leave(gt + 1);
      *ev = make_event(EventKind::End, begin, end, end - begin);
      return true;
    }
    const size_t begin = lt + 1;
    const size_t gt = detail::window_find_tag_end(w, base, len, begin);
    if (gt == kNpos) [[unlikely]] {
      leave(lt);
      return false;
    }
    const bool empty = gt > begin && base[gt - 1] == '/';
    const size_t end = empty ? gt - 1 : gt;
    const size_t name_len = name_length(base + begin, end - begin, len - begin);
    const std::string_view name(base + begin, name_len);
    pos = gt + 1;
    if (want.fn(want.ctx, name)) {
      open += !empty;
      leave(pos);
      *ev = make_event(empty ? EventKind::Empty : EventKind::Start, begin, end, name_len);
      return true;
    }
    if (empty) continue;
    // Passed as read_to_end(name) would pass it from here.
    ++open;
    const size_t start = pos;
    size_t resume = 0;
    const ShortWalk walk = skip_opening(w, base, len, pos, open, name, last_skip_, trim_end_names,
                                        /*name_in_input=*/true, &resume);
    if (walk.end_lt != kNpos) {
      pos = walk.pos;
      open = walk.open;
      last_skip_ = walk.end_lt - start;
      continue;
    }
    const ErrorKind err = skip_counting_rest(name, start, walk.pos, walk.open, w, resume);
    if (err == ErrorKind::MissingDoctypeName) pass_child(name);
    if (phase_ != Phase::Text) return false;  // the input ended
    pos = pos_;
    open = depth_;
  }
}

ErrorKind Reader::skip_counting_depth(std::string_view name, size_t start,
                                      SkipSpan* span) noexcept {
  // Locals, so the loop keeps them in registers; written back on every exit.
  const char* const base = base_;
  const size_t len = len_;
  const bool trim_end_names = config_.trim_markup_names_in_closing_tags;
  size_t open = depth_;
  detail::Window w = window_;
  auto leave = [&](size_t pos) {
    depth_ = open;
    window_ = w;
    pos_ = pos;
  };

  // The pending '<' of a Markup phase is found again by the search below.
  size_t pos = phase_ == Phase::Markup ? pos_ - 1 : pos_;
  phase_ = Phase::Text;
  size_t resume = 0;
  const ShortWalk walk = skip_opening(w, base, len, pos, open, name, last_skip_, trim_end_names,
                                      /*name_in_input=*/false, &resume);
  if (walk.end_lt != kNpos) {
    open = walk.open;
    leave(walk.pos);
    last_skip_ = walk.end_lt - start;
    if (span != nullptr) *span = SkipSpan{start, walk.end_lt};
    return ErrorKind::None;
  }
  return skip_counting_from(name, start, span, walk.pos, walk.open, w, resume);
}

// The rest of skip_counting_depth, from `pos` in text with `open` elements
// open, none named `name` inside the skipped one, and runs of blocks allowed
// from `resume` on.
[[gnu::always_inline]] inline ErrorKind Reader::skip_counting_from(
    std::string_view name, size_t start, SkipSpan* span, size_t pos, size_t open,
    const detail::Window& window, size_t resume) noexcept {
  const char* const base = base_;
  const size_t len = len_;
  const bool trim_end_names = config_.trim_markup_names_in_closing_tags;
  detail::Window w = window;
  auto leave = [&](size_t at) {
    depth_ = open;
    window_ = w;
    pos_ = at;
  };
  phase_ = Phase::Text;
  const bool runs = !name.empty();
  size_t depth = 0;  // elements named `name` open inside the skipped one
  for (;;) {
    if (runs && pos >= resume && len - pos >= 64) {
      detail::SkipTarget target{name, trim_end_names, depth};
      const detail::BlockRunEnd run = detail::skip_blocks(base, len, pos, open, &target);
      depth = target.depth;
      if (run.end_lt != kNpos) {
        open = run.open;
        w = run.window;
        leave(run.pos);
        last_skip_ = run.end_lt - start;
        if (span != nullptr) *span = SkipSpan{start, run.end_lt};
        return ErrorKind::None;
      }
      resume = run.resume;
      if (run.pos != pos) {
        pos = run.pos;
        open = run.open;
        continue;
      }
    }
    // Markup right after markup needs no search.
    const size_t lt =
        pos < len && base[pos] == '<' ? pos : detail::window_find_lt(w, base, len, pos);
    if (lt == kNpos) {
      leave(len);
      phase_ = Phase::Done;
      return ErrorKind::MissingEndTag;
    }
    const size_t after = lt + 1;
    if (after >= len) [[unlikely]] {
      leave(len);
      return syntax_error(ErrorKind::UnclosedTag, lt, len).error;
    }
    const char kind = base[after];
    if (kind == '!' || kind == '?') [[unlikely]] {
      leave(after);
      const Event ev = kind == '!' ? parse_bang(lt) : parse_question(lt);
      if (ev.kind == EventKind::Error) return ev.error;
      pos = pos_;
      continue;
    }
    const bool is_end = kind == '/';
    const size_t begin = after + is_end;
    const size_t gt = detail::window_find_tag_end(w, base, len, begin);
    if (gt == kNpos) [[unlikely]] {
      leave(len);
      return syntax_error(ErrorKind::UnclosedTag, lt, len).error;
    }
    pos = gt + 1;
    // Start and end tags share one path: few branches depend on the data.
    const size_t content_len = gt - begin;
    const bool is_empty = !is_end && content_len > 0 && base[gt - 1] == '/';
    if (is_end && open == 0) [[unlikely]] {
      size_t end = gt;
      if (trim_end_names) {
        while (end > begin && ws_byte(base[end - 1])) --end;
        if (end == begin) end = gt;
      }
      const std::string_view end_name(base + begin, end - begin);
      if (!config_.allow_unmatched_ends) {
        leave(pos);
        mismatch_expected_ = {};
        mismatch_found_ = end_name;
        return ill_formed(ErrorKind::UnmatchedEndTag, lt, end_name).error;
      }
      ++open;  // undone below: an allowed unmatched end pops nothing
    }
    open += is_end ? static_cast<size_t>(-1) : static_cast<size_t>(!is_empty);
    if (is_empty) continue;  // empty elements never count

    // A tag can only be the target if it starts with the target's bytes.
    const size_t n = name.size();
    if (content_len < n || (n != 0 && base[begin] != name.front())) [[likely]]
      continue;
    if (std::memcmp(base + begin, name.data(), n) != 0) continue;
    if (is_end) {
      // The end name is the content less trailing ws (kept whole if all ws).
      size_t end = gt;
      if (trim_end_names) {
        while (end > begin && ws_byte(base[end - 1])) --end;
        if (end == begin) end = gt;
      }
      if (end - begin != n) continue;
      if (depth == 0) {
        leave(pos);
        last_skip_ = lt - start;
        if (span != nullptr) *span = SkipSpan{start, lt};
        return ErrorKind::None;
      }
      --depth;
    } else if ((content_len == n || ws_byte(base[begin + n])) &&
               name_length(base + begin, n, len - begin) == n) {
      // The start name runs to the first ws (so a target holding ws is none).
      ++depth;
    }
  }
}


// skip_counting_from for read_child's walk, which passes most children without it.
ErrorKind Reader::skip_counting_rest(std::string_view name, size_t start, size_t pos, size_t open,
                                     const detail::Window& window, size_t resume) noexcept {
  return skip_counting_from(name, start, nullptr, pos, open, window, resume);
}

// One tag found by the blocks, '<' at lt and '>' at gt, taken as read_event
// takes it when end names are checked. Returns 1 when it is the end tag that
// ends the skip, 0 when it was taken, -1 when read_event must take it (an
// error, or a name not tracked).
int Reader::take_checked_tag(size_t lt, size_t gt, std::string_view name, size_t* depth) noexcept {
  const char* const p = base_;
  if (p[lt + 1] == '/') {
    const size_t begin = lt + 2;
    const size_t end =
        config_.trim_markup_names_in_closing_tags ? detail::end_name_end(p, begin, gt) : gt;
    if (open_.empty()) return -1;
    const auto [open_start, open_len] = open_.back();
    const size_t n = end - begin;
    if (open_start == kUntracked || open_len != n ||
        !same_bytes(p + open_start, p + begin, n, len_ - begin))
      return -1;
    open_.pop_back();
    --depth_;
    if (n == name.size() && std::memcmp(p + begin, name.data(), n) == 0) {
      if (*depth == 0) return 1;
      --*depth;
    }
    return 0;
  }
  if (p[gt - 1] == '/') return 0;  // empty elements touch nothing
  const size_t begin = lt + 1;
  const size_t name_len = name_length(p + begin, gt - begin, len_ - begin);
  push_open(begin, name_len);
  if (name_len == name.size() && std::memcmp(p + begin, name.data(), name_len) == 0) ++*depth;
  return 0;
}

// read_to_end when end names are checked (the validation configuration):
// tags are found by block bitmaps and their names pushed and compared as
// read_event would; errors, '<!', '<?' and the last bytes go through
// read_event itself.
ErrorKind Reader::skip_checking_names(std::string_view name, size_t start,
                                      SkipSpan* span) noexcept {
  // Text is never reported here, and trimming it must not move a '<'.
  struct TrimOff {
    Config& c;
    bool saved = c.trim_text_start;
    explicit TrimOff(Config& config) : c(config) { c.trim_text_start = false; }
    ~TrimOff() { c.trim_text_start = saved; }
  } trim_off(config_);
  size_t pos = phase_ == Phase::Markup ? pos_ - 1 : pos_;
  size_t depth = 0;
  size_t resume = pos + kSkipWarmupBytes;
  constexpr size_t kBatch = 8;
  detail::ScannedBlock blocks[kBatch];
  for (;;) {
    if (pos >= resume && len_ - pos >= 64) {
      // Whole blocks from `pos`, which is in text.
      detail::BlockCarry carry;
      size_t last = pos;                // just past the last tag taken, or in text
      size_t tag_lt = kNpos;            // '<' of a tag running on past a block
      size_t at = pos;
      bool stopped = false;
      while (!stopped && len_ - at >= 64) {
        const size_t n = detail::scan_blocks(base_, len_, at, &carry, blocks, kBatch);
        for (size_t i = 0; i < n && !stopped; ++i, at += 64) {
          const detail::ScannedBlock& b = blocks[i];
          const uint64_t good = (b.tags.stops & (0 - b.tags.stops)) - 1;
          const uint64_t lts = b.lt & good;
          uint64_t ends = b.tags.ends & good;
          uint64_t taken = 0;  // bits up to the last '>' taken
          while (ends != 0) {
            const unsigned e = static_cast<unsigned>(__builtin_ctzll(ends));
            ends &= ends - 1;
            const uint64_t below = lts & ((1ull << e) - 1);
            const size_t lt = below != 0 ? at + 63 - static_cast<size_t>(__builtin_clzll(below))
                                         : tag_lt;
            const size_t gt = at + e;
            const int r = take_checked_tag(lt, gt, name, &depth);
            if (r > 0) {
              pos_ = gt + 1;
              phase_ = Phase::Text;
              if (span != nullptr) *span = SkipSpan{start, lt};
              return ErrorKind::None;
            }
            if (r < 0) {
              resume = gt + 1;
              stopped = true;
              break;
            }
            last = gt + 1;
            taken = ~0ull >> (63 - e);
          }
          if (stopped) break;
          // A '<' after the last '>' starts a tag that runs on.
          const uint64_t open_lt = lts & ~taken;
          if (open_lt != 0) {
            tag_lt = at + 63 - static_cast<size_t>(__builtin_clzll(open_lt));
          } else if (taken != 0) {
            tag_lt = kNpos;
          }
          if (tag_lt == kNpos && b.lt == 0 && b.tags.ends == 0) last = at + 64;
          if (good != ~0ull) {
            resume = at + static_cast<size_t>(__builtin_ctzll(~good)) + 1;
            stopped = true;
          }
        }
      }
      if (!stopped) resume = at;
      pos = last;
    }
    // One construct by read_event.
    pos_ = pos;
    phase_ = Phase::Text;
    const Event ev = read_event();
    switch (ev.kind) {
      case EventKind::Error:
        return ev.error;
      case EventKind::Eof:
        return ErrorKind::MissingEndTag;
      case EventKind::Start:
        if (ev.name() == name) ++depth;
        break;
      case EventKind::End:
        if (ev.content == name) {
          if (depth == 0) {
            // Markup is read from its '<', so that is where this End began.
            if (span != nullptr) *span = SkipSpan{start, pos};
            return ErrorKind::None;
          }
          --depth;
        }
        break;
      default:
        break;
    }
    pos = buffer_position();
  }
}

}  // namespace varnex::legacy
