// Item texts as Python values: the one rule behind to_str(), to_str_list() and value.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "python/py_item.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// The text of an element with no child elements (untrimmed, not necessarily UTF-8): a view
// into `element` when it holds nothing but plain text, else into `scratch`. Nothing when it
// has child elements. May throw bad_alloc.
[[nodiscard]] std::optional<std::string_view> scalar_element_text(std::string_view element,
                                                                  std::string& scratch);

// Returns a new reference to `text` trimmed and decoded strictly, or NULL with ValueError set.
[[nodiscard]] Ref trimmed_str(std::string_view text) noexcept;

// What to_str() gives for one item alone: `bytes` are a text item's bytes, or the markup of
// an element (`is_element`). Returns a new reference or NULL with an exception set.
// `scratch` holds a resolved text meanwhile; reusing one spares an allocation per item.
// `lossy`: text that is not UTF-8 gets U+FFFD, as markup always does, instead of ValueError.
[[nodiscard]] Ref item_str(std::string_view bytes, bool is_element, std::string& scratch,
                           bool lossy = false);
[[nodiscard]] inline Ref item_str(std::string_view bytes, bool is_element) {
  std::string scratch;
  return item_str(bytes, is_element, scratch);
}

// What Result.to_str() gives for `items` (`lossy` as for item_str); returns a new reference
// or NULL with an exception set.
[[nodiscard]] Ref to_str_value(const PyItems& items, bool lossy = false);

// What Result.to_str_list() gives: a list with every item's to_str() text, in order.
// Returns a new reference or NULL with an exception set (the first item's that fails).
[[nodiscard]] Ref to_str_list_value(const PyItems& items);

}  // namespace varnex::python
