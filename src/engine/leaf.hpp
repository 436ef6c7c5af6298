// What one element item is, read off its bytes once: a leaf with its text, or an element with
// child elements.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnex::engine {

// The text of `<name attrs>text</...`: a start tag, then UTF-8 text with no '&' and no markup,
// then an end tag. That text is what the reader gives, as it is (`ascii` says it is all
// ASCII). Nothing for any other element, which the general rule reads.
struct LeafText {
  std::string_view text;
  bool ascii = true;
};
[[nodiscard]] std::optional<LeafText> plain_leaf_text(std::string_view element) noexcept;

// An element item described: whether it has child elements, and if not its text (decoded,
// references resolved; untrimmed, not necessarily UTF-8), a view into the element or into the
// scratch buffer given. `valid` says the text is known to be UTF-8, `ascii` known to be ASCII.
struct ElementShape {
  bool has_children = false;
  std::string_view text;
  bool valid = false;
  bool ascii = false;
};
// May throw bad_alloc.
[[nodiscard]] ElementShape describe_element(std::string_view element, std::string& scratch);

}  // namespace varnex::engine
