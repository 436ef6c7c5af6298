// Public entry points of the query engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item.hpp"
#include "engine/namespaces.hpp"
#include "engine/sink.hpp"
#include "path/program.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

// Every query runs through one core (scan.hpp); `run` is its entry.

// How `run` reads its document and answers its paths.
struct RunOptions {
  enum class Scope : uint8_t {
    Document,  // the paths start at the root element
    Element,   // `doc` is one element: the paths start at its attributes and children
  };
  Scope scope = Scope::Document;
  // The paths answered as a set, in one pass: a path that ends in a collecting modifier takes
  // the elements it selects as their text, and the ambiguity guard counts start tags only,
  // never empty-element tags. Else `programs` holds one path, answered alone.
  bool as_set = false;
  // Elements as spans of `doc` where they may be, else copies.
  bool capture_spans = false;
  // Document: the root's children in ranges among up to `threads` threads (0: one per core),
  // each range read by a pass of its own, the answers joined in order. They are exactly one
  // pass's; one pass answers where cutting cannot pay (a small document) or a path must see
  // the root's children in one pass (an index, a unique step or a first match among them, a
  // path that ends at the root).
  unsigned threads = 1;
  std::span<const Binding> outer = {};  // Element: the declarations around `doc`
  // Document, one path, one thread: told of each item as the pass finds it, in document
  // order; it may take them away and end the pass early (which is no error). Modifiers run on
  // what is left at the end: an observer that takes items is for programs without.
  ItemObserver* observer = nullptr;
};

// `programs` over `doc` as `options` say, one item sequence per program in `results` (as
// many as `programs`), each finished by its modifiers; a null program (in a set) gets an
// empty sequence. Returns the ambiguity error, or nothing.
[[nodiscard]] std::optional<EngineError> run(std::span<const path::Program* const> programs,
                                             std::string_view doc, const RunOptions& options,
                                             std::span<Items> results);

// Whether the records `record` selects (with no modifiers) can be read range by range, the
// root's children cut apart, as judged from `head`: the document up to its root's first
// children.
[[nodiscard]] bool records_can_be_cut(const path::Program& record, std::string_view head);
// Whether `doc` is large enough for `threads` (0: one per core) to be worth cutting it.
[[nodiscard]] bool worth_cutting(std::string_view doc, unsigned threads) noexcept;
// For tests: `run` over a document cut at `cuts` (offsets anywhere) instead of among
// threads; nothing when the paths cannot be cut.
[[nodiscard]] std::optional<std::optional<EngineError>> run_cut_at(
    std::span<const path::Program* const> programs, std::string_view doc, const RunOptions& options,
    std::span<Items> results, std::span<const size_t> cuts);

// `run` over one element after another (Element scope, a set of paths), made ready once: the
// scan's memory and the sequences in `results` are kept from one element to the next.
class WithinPass {
 public:
  // `programs` outlive the pass.
  explicit WithinPass(const std::vector<const path::Program*>& programs,
                      bool capture_spans = false);
  WithinPass(const WithinPass&) = delete;
  WithinPass& operator=(const WithinPass&) = delete;
  ~WithinPass();

  [[nodiscard]] std::optional<EngineError> run(std::string_view element,
                                               std::vector<Items>& results,
                                               std::span<const Binding> outer = {});
  // Whether some path reads names in their namespaces (then `outer` matters).
  [[nodiscard]] bool scoped() const noexcept;
  // Whether pass_inside can answer the paths.
  [[nodiscard]] bool reads_inside() const noexcept;
  // Passes the element whose start tag `tag` (its '<' at `start`) `reader` has just read, as
  // pass_child(tag.name()) does, and reads the paths over it on the way when it can: true with
  // the answer run gives over its bytes (spans relative to `start`), false when only run can
  // give it.
  [[nodiscard]] bool pass_inside(xml::Reader& reader, const xml::Event& tag, size_t start,
                                 std::vector<Items>& results);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Well-formedness: the strict reader accepts everything, one root, all closed.
[[nodiscard]] bool validate(std::string_view doc) noexcept;
// The same with the root's children cut among up to `threads` threads (0: one per core), or
// at `cuts` (for tests); one thread where cutting cannot pay.
[[nodiscard]] bool validate(std::string_view doc, unsigned threads,
                            std::span<const size_t> cuts = {});

// Rewrites `items` in place; `doc` is what Span items refer to.
void apply_modifiers(std::span<const path::Modifier> modifiers, Items& items, std::string_view doc);

// Text of the first element in `element` (decoded as UTF-8, entities resolved).
[[nodiscard]] std::string extract_element_text(std::string_view element);
// extract_element_text as a view: into `element` when it can be, else into `scratch`.
[[nodiscard]] std::string_view element_text(std::string_view element, std::string& scratch);

[[nodiscard]] std::string item_text(const Item& item, std::string_view doc);
[[nodiscard]] std::optional<double> parse_item_number(const Item& item, std::string_view doc);
// The same for item `i` of `items`, whose spans lie in `doc`.
[[nodiscard]] std::string item_text(const Items& items, size_t i, std::string_view doc);
[[nodiscard]] std::optional<double> parse_item_number(const Items& items, size_t i,
                                                      std::string_view doc);

// The text of an aggregate: integers below 10^15 as integers, anything else as the shortest
// digits that read back as the same double, laid out without an exponent.
[[nodiscard]] std::string format_number(double value);

// Direct children of the element held by `element`.
struct ChildSpan {
  std::string name;  // as written, prefix included
  size_t start = 0;  // offset of the child's '<'
  size_t end = 0;    // just past its end
};
[[nodiscard]] bool element_has_child_elements(std::string_view element) noexcept;
// Whether `element` holds a whole element: it ends with the end tag of its own name, or is
// one empty-element tag. An element the input broke off inside is not.
[[nodiscard]] bool element_is_closed(std::string_view element) noexcept;
// The name of the first element in `bytes` (a document's root, or an element's own name),
// as written; nothing when there is none. A view into `bytes`.
[[nodiscard]] std::optional<std::string_view> first_element_name(std::string_view bytes) noexcept;
[[nodiscard]] std::vector<ChildSpan> collect_direct_children(std::string_view element);
[[nodiscard]] std::vector<std::string_view> unique_child_names(
    const std::vector<ChildSpan>& children);

}  // namespace varnex::engine
