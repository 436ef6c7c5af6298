// Lenient, zero-copy XML pull reader: events are views into the caller's bytes. It walks the
// structural index (index.hpp) rather than the bytes: every markup's '<' and '>' are known
// before it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "xml/encoding.hpp"
#include "xml/error.hpp"
#include "xml/index.hpp"
#include "xml/markup.hpp"

namespace varnex::xml {

enum class EventKind : uint8_t {
  Start,    // <name attrs>
  End,      // </name>
  Empty,    // <name attrs/>
  Text,     // bytes up to the next '<' or the end of input
  CData,    // <![CDATA[ ... ]]>
  Comment,  // <!-- ... -->
  Decl,     // <?xml ... ?>
  PI,       // <? ... ?>
  DocType,  // <!DOCTYPE ... >
  Eof,
  Error,  // see Reader::error()
};

// What read_descendant does with a tag: goes on inside it, gives it, or passes it whole (as
// pass_child does) and goes on after it.
enum class Descend : uint8_t { Into, Give, Pass };
// What read_child does with a child tag: passes it whole, gives it, or goes on after it, which
// `want` passed itself (with the reader's own passes: pass_siblings); or gives it back at once,
// `want` having passed it itself (Left: the reader then stands past its element).
enum class Wanted : uint8_t { No, Yes, Passed, Left };
// Which next siblings pass_siblings takes: those whose start tag's content (the bytes between
// '<' and '>') `passes`; every one when there is none.
struct SiblingTest {
  bool (*passes)(void* context, std::string_view content) = nullptr;
  void* context = nullptr;
};

struct Config {
  // End tags must name the element they close (a stack of open names is kept); off, only the
  // depth of open elements is.
  bool check_end_names = true;
  // False: the input is UTF-8 whatever a byte-order mark or declaration says (a UTF-8 mark is
  // still skipped). For bytes already decoded by the caller.
  bool detect_encoding = true;

  // The engine's query configuration: end names are not compared. The engine reads UTF-8
  // (documents in other encodings are decoded before a pass).
  static constexpr Config query() noexcept { return Config{false, false}; }
  // The validation configuration: end names checked, over UTF-8.
  static constexpr Config validation() noexcept { return Config{true, false}; }
};

// One event. Every view points into the reader's input.
struct Event {
  EventKind kind = EventKind::Eof;
  ErrorKind error = ErrorKind::None;   // set when kind == Error
  Encoding encoding = Encoding::Utf8;  // decoder current when the event was made
  // Start/Empty: bytes between '<' and '>' (without a trailing '/').
  // End: the (trimmed) name. Text/CData/Comment/PI/Decl/DocType: the payload.
  std::string_view content;
  // Start/Empty: length of the qualified name at the front of `content`.
  size_t name_len = 0;

  [[nodiscard]] std::string_view name() const noexcept {
    return kind == EventKind::End ? content : content.substr(0, name_len);
  }
  // Start/Empty: the bytes after the name.
  [[nodiscard]] std::string_view attributes_raw() const noexcept {
    return content.substr(name_len);
  }
};

// Span of an element's content returned by read_to_end: [start, end).
struct SkipSpan {
  size_t start = 0;
  size_t end = 0;
};

// The label of the encoding pseudo-attribute in an XML declaration's content (from "xml"
// on), as written; empty when there is none or an entry before it is malformed.
[[nodiscard]] std::string_view declared_encoding(std::string_view decl) noexcept;

class Reader {
 public:
  // `input` is the caller's bytes; positions are offsets into it, a leading byte-order mark
  // included.
  explicit Reader(std::string_view input, Config config = Config{}) noexcept;

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  [[nodiscard]] Event read_event() noexcept;

  // Skips to the end tag that closes the element whose Start (named `name`) was just read:
  // what a loop of read_event() does that counts Starts and Ends named `name` and stops at the
  // first error. On success `span` is the content range and the reader stands just past that
  // end tag.
  [[nodiscard]] ErrorKind read_to_end(std::string_view name, SkipSpan* span = nullptr) noexcept {
    return read_to_end(name, span, nullptr);
  }

  // Passes the element whose Start (named `name`) was just read, as read_to_end does, going on
  // past the errors it can read past.
  void pass_child(std::string_view name) noexcept {
    if (!pass_leaf(name)) pass_element(name);
  }

  // The element whose Start (named `name`) was just read is a leaf, its text then exactly
  // `</name>`: passed as read_to_end would pass it. False, nothing read, for anything else.
  // `Tag`: `name` is that start tag's own, read by this reader in text (its walks know so).
  template <bool Tag = false>
  [[nodiscard, gnu::always_inline]] bool pass_leaf(std::string_view name) noexcept;
  // pass_child for an element that is not a leaf.
  void pass_element(std::string_view name) noexcept;
  // pass_child, and after it each next sibling of the same name that follows with only text
  // between (a start tag of its own, not an empty-element tag) and passes `test`: how many
  // elements it passed, the first among them (a run of records, passed as one). A sibling
  // left is read next, as any child.
  [[nodiscard]] size_t pass_siblings(std::string_view name, SiblingTest test = {}) noexcept;

  // Passes the text the reader stands in, if any, as reading its Text event would: for a
  // caller that has no use for text.
  void skip_text() noexcept;

  // The element whose Start was just read holds only text (no markup, possibly nothing) and
  // then an end tag: `text` is that text as its Text event would give it, and the reader stands
  // where read_event() leaves it after that Text and End. False, nothing read, for any other
  // content.
  [[nodiscard]] bool read_leaf_text(std::string_view* text) noexcept;

  // The next child of the element open now (or of the document) whose qualified name `want`
  // takes, else that element's End, Eof or an Error: what a loop of read_event() stops at when
  // it passes every Start not wanted with pass_child(name) and every other construct not wanted
  // as it comes. `want(name)` is asked once for each start and empty tag met at this level, in
  // order, with the tag's event, and says what becomes of the tag (Wanted).
  template <class Want>
  [[nodiscard]] Event read_child(Want&& want) noexcept;

  // The next start or empty tag at any depth inside the element open now (or the document)
  // that `want` gives; else that element's End, Eof, or an Error that is fatal or met in the
  // element itself: what a loop of read_event() stops at when it passes every other event and
  // counts the elements it goes into. `below` is that count (0 when the reader stands in the
  // element itself), kept between calls: an End closes the innermost element counted, as a
  // level for each would, whatever the reader's own depth says after a skip in misnested input.
  // `want(name)` is asked once for each tag met, in order, and says what becomes of it.
  template <class Want>
  [[nodiscard]] Event read_descendant(size_t& below, Want&& want) noexcept;

  // While read_child asks `want` of a tag: whether it opens an element (is no empty-element
  // tag; the reader stands just past its '>').
  [[nodiscard]] bool tag_opens() const noexcept { return base_[pos_ - 2] != '/'; }
  // While read_child asks `want` of a tag named `name` (a view into it): that tag's content,
  // as its event gives it (the reader stands just past its '>').
  [[nodiscard]] std::string_view tag_content(std::string_view name) const noexcept {
    size_t n = static_cast<size_t>(base_ + pos_ - 1 - name.data());
    if (n > 0 && name.data()[n - 1] == '/') --n;
    return {name.data(), n};
  }

  // Goes on reading at `pos` (after the reader's position), in text outside any markup, with
  // the elements open now still open: the bytes in between are not read. For a pass over one
  // range of a document whose start is known to fall between markups.
  void resume_at(size_t pos) noexcept;
  // The reader has met the end of its input.
  [[nodiscard]] bool at_end() const noexcept { return phase_ == Phase::Done; }
  // Elements open now (as far as the reader counts them).
  [[nodiscard]] size_t depth() const noexcept { return depth_; }
  // The input broke off inside a markup (or held one the reader cannot read past).
  [[nodiscard]] bool ended_in_markup() const noexcept {
    return index_.ended() && index_.fatal() != ErrorKind::None;
  }

  [[nodiscard]] size_t buffer_position() const noexcept { return pos_; }

  // Where the reader stands, to come back to while it reads the same chunk of its index.
  // `depth` is the reader's count of open elements there, which a caller may set (to 1, say,
  // to read an element as a reader of its bytes alone would, from just after its start tag).
  struct Mark {
    size_t pos = 0;
    size_t err_pos = 0;
    size_t depth = 0;
    size_t last_skip = 0;
    size_t block_at = 0;
    const detail::IndexBlock* cur = nullptr;
    const detail::IndexBlock* end = nullptr;
    uint64_t lt = 0;
    uint64_t gt = 0;
    uint64_t chunk = 0;
    uint8_t phase = 0;
  };
  [[nodiscard]] Mark mark() const noexcept;
  // Back at `m`, as if what was read since had not been (but with m.depth). False, nothing
  // changed, when the index holds another chunk now, or names are kept.
  [[nodiscard]] bool rewind(const Mark& m) noexcept;
  // While set, the reader reads no further chunk of its index: its input seems to end there,
  // so that a mark taken in this chunk stays good. held(): it has refused a chunk since.
  void hold_chunk(bool hold) noexcept {
    hold_ = hold;
    held_ = false;
  }
  [[nodiscard]] bool held() const noexcept { return held_; }
  [[nodiscard]] size_t error_position() const noexcept { return err_pos_; }
  // Errors read so far: error events, and the errors skips stop at.
  [[nodiscard]] size_t errors() const noexcept { return errors_; }
  // Some markup read since `from` whose '<' is before `before` is a tag named `name` (a view
  // into the input before it), or may be (see named_at); true too when that cannot be told
  // (`from` is in another chunk of the index).
  [[nodiscard]] bool passed_name(const Mark& from, size_t before,
                                 std::string_view name) const noexcept;
  [[nodiscard]] Encoding encoding() const noexcept { return enc_; }
  [[nodiscard]] EncodingOrigin encoding_origin() const noexcept { return origin_; }
  [[nodiscard]] std::string_view input() const noexcept { return {base_, len_}; }
  [[nodiscard]] const Config& config() const noexcept { return config_; }

  // For the MismatchedEndTag error: the names involved (views into input).
  [[nodiscard]] std::string_view mismatch_expected() const noexcept { return mismatch_expected_; }
  [[nodiscard]] std::string_view mismatch_found() const noexcept { return mismatch_found_; }

 private:
  enum class Phase : uint8_t { Init, Text, Done };

  // read_child's answer to one event: true when it is given to the caller.
  template <class Want>
  [[nodiscard]] bool ends_child_search(const Event& ev, Want& want) noexcept;
  // read_descendant's answer to one event.
  template <class Want>
  [[nodiscard]] bool ends_descendant_search(const Event& ev, size_t& below, Want& want) noexcept;

  // The end tag from '<' at lt to '>' at gt is exactly `</name>`: it closes a leaf named so.
  // `InInput`: `name` is known to be a view into the input.
  template <bool InInput = false>
  [[nodiscard, gnu::always_inline]] bool ends_leaf(size_t lt, size_t gt,
                                                   std::string_view name) const noexcept;
  // Between markups: the next markup's '<' is the lowest of lt_, and its '>' the lowest of gt_
  // or, when gt_ is empty, in a later block. False when the input has no markup left.
  [[nodiscard, gnu::always_inline]] bool has_mark() noexcept { return lt_ != 0 || advance(); }
  // The block after this one, chunk after chunk; false at the end of the index.
  [[nodiscard, gnu::always_inline]] bool advance() noexcept {
    if (end_ - cur_ > 1) [[likely]] {
      ++cur_;
      lt_ = cur_->lt;
      gt_ = cur_->gt;
      block_at_ = cur_->at();
      return true;
    }
    return advance_chunk();
  }
  // advance() past the chunk's last block.
  [[nodiscard]] bool advance_chunk() noexcept;
  // advance() as a call, for a loop whose registers the inline one would crowd.
  [[nodiscard]] bool advance_call() noexcept;
  [[nodiscard]] size_t peek_lt() const noexcept {
    return block_at_ + static_cast<size_t>(__builtin_ctzll(lt_));
  }
  // Takes the next markup whose '<' is `lt` (has_mark() said so): its '>', or false when the
  // input ends in it.
  [[nodiscard]] bool take_markup(size_t* gt) noexcept {
    lt_ &= lt_ - 1;
    if (gt_ == 0 && !advance()) [[unlikely]]
      return false;
    *gt = block_at_ + static_cast<size_t>(__builtin_ctzll(gt_));
    gt_ &= gt_ - 1;
    return true;
  }

  void start_document() noexcept;
  // The markup whose '<' at lt is the next one: read whole, the reader past it.
  Event read_markup(size_t lt) noexcept;
  // read_markup's body, inlined in read_event and read_child.
  [[gnu::always_inline]] Event markup_event(size_t lt) noexcept;
  Event bang_event(size_t lt, size_t gt) noexcept;
  Event question_event(size_t lt, size_t gt) noexcept;
  [[gnu::always_inline]] Event close_element(std::string_view name, size_t lt) noexcept;
  [[nodiscard]] Event tag_event(size_t lt, size_t gt, bool* empty) const noexcept;
  // A start tag opens an element: its depth, and its name while names are kept.
  [[gnu::always_inline]] void push_open(size_t name_start, size_t name_len) noexcept {
    ++depth_;
    if (names_kept_) [[unlikely]]
      keep_name(name_start, name_len);
  }
  void keep_name(size_t name_start, size_t name_len) noexcept;
  void refine_encoding_from_decl(std::string_view decl) noexcept;
  // read_to_end; with `siblings`, the skip goes on over a run of siblings (pass_siblings) and
  // adds how many it passed after the first to `*siblings`.
  ErrorKind read_to_end(std::string_view name, SkipSpan* span, size_t* siblings,
                        SiblingTest test = {}) noexcept;
  template <bool Checked, bool Siblings>
  ErrorKind skip(std::string_view name, size_t start, SkipSpan* span, size_t* siblings,
                 SiblingTest test) noexcept;
  // skip<true>'s loop for the markup that keeps and compares names and nothing else.
  [[nodiscard]] bool skip_checked_run(std::string_view name, size_t* depth, size_t start,
                                      SkipSpan* span, ErrorKind* result) noexcept;
  // The end of the input reached inside text: what read_event() gives there.
  Event end_of_input() noexcept;
  [[nodiscard]] Event make_event(EventKind kind, size_t begin, size_t end,
                                 size_t name_len = 0) const noexcept;
  Event syntax_error(ErrorKind kind, size_t lt, size_t new_pos) noexcept;
  Event ill_formed(ErrorKind kind, size_t err_pos, std::string_view name) noexcept;

  const char* base_;
  size_t len_;
  size_t pos_ = 0;
  size_t err_pos_ = 0;
  size_t errors_ = 0;
  Config config_;
  Phase phase_ = Phase::Init;
  Encoding enc_ = Encoding::Utf8;
  EncodingOrigin origin_ = EncodingOrigin::Implicit;
  bool names_kept_;   // check_end_names, until the stack of names runs out of memory
  size_t depth_ = 0;  // open elements
  // Names of open elements as (offset, length) into the input, while names are kept.
  std::vector<std::pair<size_t, size_t>> open_;
  std::string_view mismatch_expected_;
  std::string_view mismatch_found_;
  // Where the reader stands in the index: the block cur_ of the chunk, its bits not taken yet.
  size_t last_skip_ = 0;  // bytes the last read_to_end passed
  static constexpr size_t kLongSkip = 128;
  const detail::IndexBlock* cur_ = nullptr;
  const detail::IndexBlock* end_ = nullptr;
  uint64_t lt_ = 0;
  uint64_t gt_ = 0;
  size_t block_at_ = 0;
  uint64_t chunk_ = 0;  // chunks indexed so far, for marks
  bool hold_ = false;
  bool held_ = false;
  detail::Index index_;
};

// A start or empty-element tag from '<' at lt to '>' at gt.
// start-tag ::= '<' content '>' ; empty ::= '<' content '/>'
inline Event Reader::tag_event(size_t lt, size_t gt, bool* empty) const noexcept {
  const size_t begin = lt + 1;
  size_t end = gt;
  *empty = end > begin && base_[end - 1] == '/';
  if (*empty) --end;
  Event ev;
  ev.kind = *empty ? EventKind::Empty : EventKind::Start;
  ev.encoding = enc_;
  ev.content = std::string_view(base_ + begin, end - begin);
  ev.name_len = detail::name_length(base_ + begin, end - begin, len_ - begin);
  return ev;
}

inline Event Reader::markup_event(size_t lt) noexcept {
  size_t gt = 0;
  if (!take_markup(&gt)) [[unlikely]] {
    // The input ends in this markup, broken.
    return syntax_error(index_.fatal(), lt, index_.fatal_pos());
  }
  pos_ = gt + 1;
  switch (base_[lt + 1]) {
    case '/': {
      const size_t begin = lt + 2;
      const size_t end = detail::end_name_end(base_, begin, gt);
      return close_element(std::string_view(base_ + begin, end - begin), lt);
    }
    case '!': return bang_event(lt, gt);
    case '?': return question_event(lt, gt);
    default: {
      bool empty = false;
      const Event ev = tag_event(lt, gt, &empty);
      if (!empty) push_open(lt + 1, ev.name_len);
      return ev;
    }
  }
}

inline Event Reader::close_element(std::string_view name, size_t lt) noexcept {
  if (depth_ == 0) [[unlikely]] {
    mismatch_expected_ = {};
    mismatch_found_ = name;
    return ill_formed(ErrorKind::UnmatchedEndTag, lt, name);
  }
  --depth_;
  if (!open_.empty()) {
    const auto [start, len] = open_.back();
    open_.pop_back();
    // The entry is gone whether or not the names match.
    const std::string_view expected(base_ + start, len);
    if (expected != name) {
      mismatch_expected_ = expected;
      mismatch_found_ = name;
      return ill_formed(ErrorKind::MismatchedEndTag, lt, name);
    }
  }
  Event ev;
  ev.kind = EventKind::End;
  ev.encoding = enc_;
  ev.content = name;
  ev.name_len = name.size();
  return ev;
}

template <bool InInput>
inline bool Reader::ends_leaf(size_t lt, size_t gt, std::string_view name) const noexcept {
  const size_t n = name.size();
  if (gt - lt != n + 2) return false;
  // A name in the input (the start tag's, before the end tag) is compared a word at a time.
  const auto off = reinterpret_cast<uintptr_t>(name.data()) - reinterpret_cast<uintptr_t>(base_);
  const bool in_input = InInput || (off <= len_ && n <= len_ - off);
  return in_input ? detail::same_bytes(base_ + lt + 2, name.data(), n, len_ - (lt + 2))
                  : std::memcmp(base_ + lt + 2, name.data(), n) == 0;
}

template <bool Tag>
inline bool Reader::pass_leaf(std::string_view name) noexcept {
  if (names_kept_ || (!Tag && (depth_ == 0 || phase_ != Phase::Text)) || !has_mark()) return false;
  // The next markup's '>' is the next one, in this block or the next (so its '<' is not the
  // input's last byte).
  const bool here = gt_ != 0;
  if (!here && cur_ + 1 >= end_) return false;
  const size_t lt = peek_lt();
  if (base_[lt + 1] != '/') return false;
  const size_t gt = here ? block_at_ + static_cast<size_t>(__builtin_ctzll(gt_))
                         : cur_[1].at() + static_cast<size_t>(__builtin_ctzll(cur_[1].gt));
  if (!ends_leaf<Tag>(lt, gt, name)) return false;
  // Taken: its '<' and '>' (advancing to the next block holds, as the '>' is there).
  lt_ &= lt_ - 1;
  if (!here) (void)advance();
  gt_ &= gt_ - 1;
  --depth_;
  pos_ = gt + 1;
  return true;
}

// One event read on the way to a wanted child: true when read_child gives it (a wanted tag,
// the parent's end, the input's end, an error); an unwanted element is passed whole.
template <class Want>
[[gnu::always_inline]] inline bool Reader::ends_child_search(const Event& ev, Want& want) noexcept {
  switch (ev.kind) {
    case EventKind::Start: {
      const Wanted w = want(ev);
      if (w == Wanted::Yes || w == Wanted::Left) return true;
      if (w == Wanted::No && !pass_leaf(ev.name())) pass_element(ev.name());  // the usual leaf
      return false;                                                           // without a call
    }
    case EventKind::Empty: {
      const Wanted w = want(ev);
      return w == Wanted::Yes || w == Wanted::Left;
    }
    case EventKind::End:
    case EventKind::Eof:
    case EventKind::Error: return true;
    default: return false;
  }
}

template <class Want>
Event Reader::read_child(Want&& want) noexcept {
  for (;;) {
    if (phase_ != Phase::Text || !has_mark()) [[unlikely]] {
      // The start of the input or its end: event by event.
      const Event ev = read_event();
      if (ends_child_search(ev, want)) return ev;
      continue;
    }
    const size_t lt = peek_lt();
    // A markup that closes in a later block, or never (then its '<' may be the last byte).
    const char kind = gt_ == 0 ? '/' : base_[lt + 1];
    if (kind == '/' || kind == '!' || kind == '?') {
      // An end tag, a construct, or a tag that closes in a later block.
      pos_ = lt;                          // the text before it is passed
      const Event ev = markup_event(lt);  // the parent's end, mostly: inline
      if (ends_child_search(ev, want)) return ev;
      continue;
    }
    size_t gt = 0;
    (void)take_markup(&gt);
    pos_ = gt + 1;
    bool empty = false;
    const Event ev = tag_event(lt, gt, &empty);
    if (empty) {
      const Wanted w = want(ev);
      if (w == Wanted::Yes || w == Wanted::Left) return ev;
      continue;
    }
    push_open(lt + 1, ev.name_len);
    const Wanted w = want(ev);
    if (w == Wanted::Yes || w == Wanted::Left) return ev;
    if (w == Wanted::No && !pass_leaf<true>(ev.name())) pass_element(ev.name());
  }
}

template <class Want>
[[gnu::always_inline]] inline bool Reader::ends_descendant_search(const Event& ev, size_t& below,
                                                                  Want& want) noexcept {
  switch (ev.kind) {
    case EventKind::Start:
    case EventKind::Empty: {
      const Descend d = want(ev.name());
      if (ev.kind == EventKind::Start && d == Descend::Into) ++below;
      if (ev.kind == EventKind::Start && d == Descend::Pass) pass_child(ev.name());
      return d == Descend::Give;
    }
    case EventKind::End:
      if (below == 0) return true;
      --below;
      return false;
    case EventKind::Eof: return true;
    case EventKind::Error: return is_fatal(ev.error) || below == 0;
    default: return false;
  }
}

// Aligned, so that its loop's place in the cache lines does not move with the code around it:
// the same instructions placed 16 bytes apart differed by 6-9 % in wall time.
template <class Want>
__attribute__((aligned(64))) Event Reader::read_descendant(size_t& below, Want&& want) noexcept {
  for (;;) {
    if (phase_ != Phase::Text || names_kept_ || (lt_ == 0 && !advance_call())) [[unlikely]] {
      // The start of the input, its end, or end names to compare: event by event.
      const Event ev = read_event();
      if (ends_descendant_search(ev, below, want)) return ev;
      continue;
    }
    {
      // The tags of this chunk of the index, the reader's place kept in registers until a tag
      // is given or passed (`want` cannot see it meanwhile). The index has told each '>' of an
      // end tag; any other '>' ends a tag or a construct (only where a block has one).
      const detail::IndexBlock* cur = cur_;
      uint64_t lt = lt_;
      uint64_t gt = gt_;
      size_t at = block_at_;
      size_t depth = depth_;
      size_t in = below;
      size_t last_gt = 0;
      Event ev;
      Descend d = Descend::Into;
      bool empty = false;
      bool taken = false;
      for (;;) {
        if (lt == 0) {
          if (gt != 0 || cur + 1 >= end_) break;  // the next chunk: read_event indexes it
          ++cur;
          lt = cur->lt;
          gt = cur->gt;
          at = cur->at();
          continue;
        }
        // The markup whose '<' is the lowest of lt: its '>' is the lowest of gt, or of the next
        // block's when gt is empty.
        const detail::IndexBlock* to = cur;
        uint64_t to_gt = gt;
        if (to_gt == 0) {
          if (cur + 1 >= end_) break;
          to = cur + 1;
          to_gt = to->gt;
        }
        const uint64_t next = to_gt & (~to_gt + 1);
        const size_t l = at + static_cast<size_t>(__builtin_ctzll(lt));
        const bool closes = (to->closes & next) != 0;
        // A construct is in a block flagged so, or runs on from the block its '<' ends.
        if (closes ? in == 0 || depth == 0
                   : (to != cur || cur->has_construct()) &&
                         (base_[l + 1] == '!' || base_[l + 1] == '?')) {
          break;  // the element's own end, an end with nothing open, a construct
        }
        if (to != cur) {
          cur = to;
          lt = cur->lt;
          at = cur->at();
        } else {
          lt &= lt - 1;
        }
        gt = to_gt ^ next;
        last_gt = at + static_cast<size_t>(__builtin_ctzll(next));
        taken = true;
        if (closes) {
          --depth;
          --in;
          continue;
        }
        ev = tag_event(l, last_gt, &empty);
        depth += static_cast<size_t>(!empty);
        d = want(ev.name());
        if (d == Descend::Into) {
          in += static_cast<size_t>(!empty);
          continue;
        }
        if (d == Descend::Give || empty) break;
        // Passed: a leaf's end tag, next in this block, is taken here as pass_leaf takes it.
        const uint64_t after = gt & (~gt + 1);
        if (lt == 0 || (cur->closes & after) == 0) break;
        const size_t end_lt = at + static_cast<size_t>(__builtin_ctzll(lt));
        const size_t end_gt = at + static_cast<size_t>(__builtin_ctzll(after));
        if (!ends_leaf<true>(end_lt, end_gt, ev.name())) break;
        lt &= lt - 1;
        gt ^= after;
        last_gt = end_gt;
        --depth;
        d = Descend::Into;
      }
      if (taken) {
        cur_ = cur;
        lt_ = lt;
        gt_ = gt;
        block_at_ = at;
        depth_ = depth;
        below = in;
        pos_ = last_gt + 1;
        if (d == Descend::Give) return ev;
        if (d == Descend::Pass && !empty) pass_child(ev.name());
        continue;
      }
    }
    // What the walk leaves (a construct, the element's own end, an end with nothing open, a
    // markup running into the next chunk or past the input's end) is read as an event.
    const size_t lt = peek_lt();
    pos_ = lt;  // the text before it is passed
    const Event ev = read_markup(lt);
    if (ends_descendant_search(ev, below, want)) return ev;
  }
}

// Name helpers (no XML name checks anywhere).
[[nodiscard]] constexpr std::string_view local_name(std::string_view qname) noexcept {
  const size_t colon = qname.find(':');
  return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}
[[nodiscard]] constexpr std::string_view prefix(std::string_view qname) noexcept {
  const size_t colon = qname.find(':');
  return colon == std::string_view::npos ? std::string_view{} : qname.substr(0, colon);
}

[[nodiscard]] constexpr bool is_ws(unsigned char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace varnex::xml
