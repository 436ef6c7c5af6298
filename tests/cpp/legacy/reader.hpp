// The reader as it was before the structural index (tests only). Lenient, zero-copy XML pull reader: events are views into the caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "xml/encoding.hpp"
#include "legacy/scan.hpp"

namespace varnex::legacy {

// The old reader, kept to check the index-based one against until it goes.
using xml::Encoding;
using xml::EncodingOrigin;
using xml::encoding_for_label;

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

enum class ErrorKind : uint8_t {
  None,
  // Syntax errors: fatal, the reader reports Eof afterwards.
  UnclosedTag,
  InvalidBangMarkup,
  UnclosedComment,
  UnclosedCData,
  UnclosedDoctype,
  UnclosedPIOrXmlDecl,
  // Ill-formed errors: recoverable, reading may go on.
  MismatchedEndTag,
  UnmatchedEndTag,
  MissingDoctypeName,
  DoubleHyphenInComment,
  MissingEndTag,  // only from read_to_end
};

[[nodiscard]] constexpr bool is_fatal(ErrorKind k) noexcept {
  return k >= ErrorKind::UnclosedTag && k <= ErrorKind::UnclosedPIOrXmlDecl;
}

struct Config {
  bool check_end_names = true;
  bool trim_markup_names_in_closing_tags = true;
  bool expand_empty_elements = false;
  bool allow_unmatched_ends = false;
  bool check_comments = false;
  bool trim_text_start = false;
  bool trim_text_end = false;
  // False: the input is UTF-8 whatever a byte-order mark or declaration says
  // (a UTF-8 mark is still skipped). For bytes already decoded by the caller.
  bool detect_encoding = true;

  void trim_text(bool on) noexcept {
    trim_text_start = on;
    trim_text_end = on;
  }
  void enable_all_checks(bool on) noexcept {
    check_comments = on;
    check_end_names = on;
  }

  // The engine's query configuration: end names are not compared. The engine
  // reads UTF-8 (documents in other encodings are decoded before a pass).
  static constexpr Config query() noexcept {
    Config c;
    c.check_end_names = false;
    c.detect_encoding = false;
    return c;
  }
  // The validation configuration: the defaults, over UTF-8.
  static constexpr Config validation() noexcept {
    Config c;
    c.detect_encoding = false;
    return c;
  }
};

// One event. Every view points into the reader's input (or, for the synthetic
// End of expand mode, into the input where that element's name was written).
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

class Reader {
 public:
  // `input` is the caller's bytes; positions are offsets into it, a leading
  // byte-order mark included.
  explicit Reader(std::string_view input, Config config = Config{}) noexcept;

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  [[nodiscard]] Event read_event() noexcept;

  // Skips to the end tag that closes the element whose Start (named `name`)
  // was just read. On success `span` is the content range and the reader
  // stands just past that end tag.
  [[nodiscard]] ErrorKind read_to_end(std::string_view name, SkipSpan* span = nullptr) noexcept;

  // Passes the element whose Start (named `name`) was just read, as
  // read_to_end does, going on past the errors it can read past.
  void pass_child(std::string_view name) noexcept;

  // Passes the text the reader stands in, if any, as reading its Text event
  // would: for a caller that has no use for text.
  void skip_text() noexcept {
    if (phase_ == Phase::Text && pos_ < len_ && base_[pos_] != '<') pass_text();
  }

  // The element whose Start was just read holds only text (no markup, possibly
  // nothing) and then an end tag: `text` is that text as its Text event
  // would give it, and the reader stands where read_event() leaves it after
  // that Text and End. False, nothing read, for any other content.
  [[nodiscard]] bool read_leaf_text(std::string_view* text) noexcept;

  // The next child of the element open now (or of the document) whose
  // qualified name `want` takes, else that element's End, Eof or an Error:
  // what a loop of read_event() stops at when it passes every Start not
  // wanted with read_to_end(name) (again while that reports
  // MissingDoctypeName) and every other construct not wanted as it comes,
  // with the reader left as that loop leaves it. `want(name)` is asked once
  // for each start and empty tag met at this level, in order.
  template <class Want>
  [[nodiscard]] Event read_child(Want&& want) noexcept;

  [[nodiscard]] size_t buffer_position() const noexcept;
  [[nodiscard]] size_t error_position() const noexcept { return err_pos_; }
  [[nodiscard]] Encoding encoding() const noexcept { return enc_; }
  [[nodiscard]] EncodingOrigin encoding_origin() const noexcept { return origin_; }
  [[nodiscard]] std::string_view input() const noexcept { return {base_, len_}; }

  Config& config() noexcept { return config_; }
  [[nodiscard]] const Config& config() const noexcept { return config_; }

  // For the MismatchedEndTag error: the names involved (views into input).
  [[nodiscard]] std::string_view mismatch_expected() const noexcept { return mismatch_expected_; }
  [[nodiscard]] std::string_view mismatch_found() const noexcept { return mismatch_found_; }

 private:
  enum class Phase : uint8_t { Init, Text, Markup, SyntheticEnd, Done };

  // A name test without its type, for the walk that read_child runs.
  struct NameTest {
    bool (*fn)(void* ctx, std::string_view name) noexcept;
    void* ctx;
  };
  [[nodiscard]] bool child_walk_ready() const noexcept {
    return (phase_ == Phase::Text || phase_ == Phase::Markup) && !config_.check_end_names &&
           !config_.expand_empty_elements && open_.empty();
  }
  [[nodiscard]] bool walk_children(NameTest want, Event* ev) noexcept;
  // In the Text or Markup phase: the '<' that ends the text the reader stands
  // in (the pending one in Markup), npos at the end of input.
  [[nodiscard]] size_t text_end() noexcept {
    if (phase_ == Phase::Markup) return pos_ - 1;
    return pos_ < len_ && base_[pos_] == '<' ? pos_ : find_text_end(pos_);
  }
  void pass_text() noexcept;
  ErrorKind skip_counting_from(std::string_view name, size_t start, SkipSpan* span, size_t pos,
                               size_t open, const detail::Window& window, size_t resume) noexcept;
  ErrorKind skip_counting_rest(std::string_view name, size_t start, size_t pos, size_t open,
                               const detail::Window& window, size_t resume) noexcept;

  void start_document() noexcept;
  Event parse_markup() noexcept;
  Event parse_start(size_t lt) noexcept;
  Event parse_end(size_t lt) noexcept;
  Event parse_bang(size_t lt) noexcept;
  Event parse_question(size_t lt) noexcept;
  [[nodiscard]] size_t doctype_end(size_t from) const noexcept;
  [[nodiscard]] size_t find_text_end(size_t at) noexcept;
  [[nodiscard]] size_t find_long_text_end() noexcept;
  Event close_element(std::string_view name, size_t lt) noexcept;
  Event synthetic_end() noexcept;
  void push_open(size_t name_start, size_t name_len) noexcept;
  void refine_encoding_from_decl(std::string_view decl) noexcept;
  ErrorKind skip_counting_depth(std::string_view name, size_t start, SkipSpan* span) noexcept;
  ErrorKind skip_checking_names(std::string_view name, size_t start, SkipSpan* span) noexcept;
  int take_checked_tag(size_t lt, size_t gt, std::string_view name, size_t* depth) noexcept;
  [[nodiscard]] Event make_event(EventKind kind, size_t begin, size_t end,
                                 size_t name_len = 0) const noexcept;
  Event syntax_error(ErrorKind kind, size_t lt, size_t new_pos) noexcept;
  Event ill_formed(ErrorKind kind, size_t err_pos, std::string_view name) noexcept;

  // Implementation-private state; see reader.cpp.
  const char* base_;
  size_t len_;
  size_t pos_ = 0;
  size_t err_pos_ = 0;
  Config config_;
  Phase phase_ = Phase::Init;
  Encoding enc_ = Encoding::Utf8;
  EncodingOrigin origin_ = EncodingOrigin::Implicit;
  size_t depth_ = 0;  // open elements, whatever check_end_names says
  // Names of open elements as (offset, length) into the input, pushed only
  // while check_end_names is on. It covers the innermost open_.size()
  // elements; entries pushed with the check off while names are kept are
  // placeholders (offset kUntracked) so the two stay aligned.
  std::vector<std::pair<size_t, size_t>> open_;
  static constexpr size_t kUntracked = static_cast<size_t>(-1);
  std::string_view mismatch_expected_;
  std::string_view mismatch_found_;
  std::string_view synthetic_end_name_;
  // Byte classes of the input around pos_, shared by consecutive reads.
  detail::Window window_;
  size_t last_skip_ = 0;  // length of the last element skipped by read_to_end

  friend class ReaderAccess;
};

// An error the reader can read past leaves it inside the element: the skip goes on.
inline void Reader::pass_child(std::string_view name) noexcept {
  while (read_to_end(name) == ErrorKind::MissingDoctypeName) {
  }
}

template <class Want>
Event Reader::read_child(Want&& want) noexcept {
  using Test = std::remove_reference_t<Want>;
  const NameTest test{[](void* ctx, std::string_view name) noexcept -> bool {
                        return (*static_cast<Test*>(ctx))(name);
                      },
                      const_cast<void*>(static_cast<const void*>(std::addressof(want)))};
  for (;;) {
    // Text and children are walked there while they are plain; the rest is read here.
    Event ev;
    if (child_walk_ready() && walk_children(test, &ev)) return ev;
    ev = read_event();
    switch (ev.kind) {
      case EventKind::Start:
        if (want(ev.name())) return ev;
        pass_child(ev.name());
        break;
      case EventKind::Empty:
        if (want(ev.name())) return ev;
        break;
      case EventKind::End:
      case EventKind::Eof:
      case EventKind::Error:
        return ev;
      default:
        break;
    }
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

}  // namespace varnex::legacy
