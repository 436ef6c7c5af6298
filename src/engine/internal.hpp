// Engine-private operations shared by the walk, captures, filters and the multi-path scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/item.hpp"
#include "path/program.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

// How a walk level ended. Done is the early-stop signal; it never leaves run_with.
enum class Flow : uint8_t { Continue, Done, Ambiguous };

struct Outcome {
  Flow flow = Flow::Continue;
  const path::Step* step = nullptr;  // the step that matched twice, for Ambiguous

  [[nodiscard]] bool stops() const noexcept { return flow != Flow::Continue; }
  [[nodiscard]] static Outcome ambiguous(const path::Step& s) noexcept {
    return {Flow::Ambiguous, &s};
  }
};

// An Outcome plus whether the operation matched, for the continue case.
struct MatchOutcome {
  Outcome outcome;
  bool matched = false;
};

struct EvalFlags {
  bool capture_spans = false;
  bool first_only = false;
  bool top_level = true;
};

// What a filter-driven collection records per selected element.
enum class TerminalKind : uint8_t { Capture = 0, Text = 1, Marker = 2 };

// --- names and captures ---------------------------------------------------

[[nodiscard]] constexpr std::string_view local_name_bytes(std::string_view qname) noexcept {
  return xml::local_name(qname);
}

// Exact names are compared here on the raw bytes (the test runs at every
// start tag); globs go to the matcher.
[[nodiscard]] inline bool name_matches(const path::NameMatcher& m, std::string_view qname) {
  if (m.kind() == path::NameMatcher::Kind::Exact) {
    const std::string_view subject = m.has_colon() ? qname : local_name_bytes(qname);
    return subject == std::string_view(m.text());
  }
  return m.matches_bytes(qname, local_name_bytes(qname));
}

// Appends the element doc[start, end) as a Span, or as an owned copy when
// spans are off or the offsets do not fit in 32 bits.
void capture_element(std::string_view doc, size_t start, size_t end, bool capture_spans,
                     Items& items);

// The attribute's value: a view of the raw bytes, or of `scratch` when it was unescaped.
[[nodiscard]] std::optional<std::string_view> read_attr_view(std::string_view content,
                                                             size_t name_len,
                                                             std::string_view name,
                                                             std::string& scratch);
[[nodiscard]] std::optional<std::string> read_attr(const xml::Event& start, std::string_view name);

// Reads the rest of the current element (the reader stands just after its
// start tag) and returns its text; the reader ends past the element's end tag.
[[nodiscard]] std::string read_text_in_scope(xml::Reader& reader);
// Same, appending into `out`.
void read_text_in_scope_into(xml::Reader& reader, std::string& out);

[[nodiscard]] std::string serialize_empty(std::string_view content);
void handle_empty_inner(const xml::Event& empty, std::span<const path::Step> rest, Items& items);
[[nodiscard]] MatchOutcome handle_match_empty(const xml::Event& empty,
                                              const path::Selector& selector, uint64_t count,
                                              std::span<const path::Step> rest, Items& items);

// --- walk -------------------------------------------------------------------

// Evaluates `steps` within `scope` (nullptr: document level). On Continue the
// reader has consumed the scope's end tag, reached the end, or met an error.
[[nodiscard]] Outcome enter(xml::Reader& reader, std::string_view doc, const xml::Event* scope,
                            std::span<const path::Step> steps, Items& items, EvalFlags flags);

// Skips the rest of the current scope; outside an element, the rest of the input.
void consume_to_end(xml::Reader& reader, bool inside);

// --- filters ----------------------------------------------------------------

[[nodiscard]] bool compare(std::string_view subject, path::CompareOp op,
                           const path::FilterValue& value);

// Filter result, or an Ambiguous/Continue outcome from the filter's path.
struct FilterOutcome {
  Outcome outcome;
  bool holds = false;
};
[[nodiscard]] FilterOutcome eval_filter(std::string_view element, const path::Filter& filter);
[[nodiscard]] bool eval_child_filter_fast(std::string_view element, const path::Step& step,
                                          path::CompareOp op, const path::FilterValue& value);
[[nodiscard]] Outcome apply_within_fragment_raw(std::string_view fragment,
                                                std::span<const path::Step> steps, Items& items);

// Decides a filter selector for the start tag just read (start position
// `start`) and evaluates `rest` inside it when it passes.
struct FilterStart {
  xml::Reader& reader;
  std::string_view doc;
  const xml::Event& tag;
  size_t start;
};
[[nodiscard]] bool is_streamable(const path::Filter& filter, std::span<const path::Step> rest);
[[nodiscard]] MatchOutcome stream_filter_scope(const FilterStart& at, const path::Step& filter_step,
                                               const path::Filter& filter,
                                               std::span<const path::Step> rest,
                                               TerminalKind kind, bool capture_spans,
                                               Items& items);
[[nodiscard]] MatchOutcome general_filter(const FilterStart& at, const path::Filter& filter,
                                          std::span<const path::Step> rest, Items& items);

// Whether `selector` selects the child whose match count before it is `count`.
[[nodiscard]] constexpr bool selects(const path::Selector& selector, uint64_t count) noexcept {
  switch (selector.kind) {
    case path::SelectorKind::Bare:
    case path::SelectorKind::Each:
      return true;
    case path::SelectorKind::Index:
      return count == selector.index;
    default:
      return false;
  }
}

}  // namespace varnex::engine
