// Internal: the tokenizer and the filter parser call each other; `Nesting` bounds that
// recursion and places errors in the whole text.
#pragma once

#include <string_view>
#include <vector>

#include "path/compiler.hpp"

namespace varnex::path::detail {

// Where a parse stands: the start of the text the outermost call was given (error offsets count
// from it), and how many filters, parentheses and '!' enclose this part of it.
struct Nesting {
  const char* origin = nullptr;
  int depth = 0;
  const NamespaceMap* namespaces = nullptr;  // the caller's prefix map, if any

  [[nodiscard]] size_t offset(const char* p) const noexcept {
    return static_cast<size_t>(p - origin);
  }
  [[nodiscard]] Nesting deeper() const noexcept { return {origin, depth + 1, namespaces}; }
  [[nodiscard]] Nesting at_depth(int d) const noexcept { return {origin, d, namespaces}; }
};

// A name as written (escapes kept), its namespace read from braces or the prefix map.
struct QualifiedName {
  Namespace ns;
  std::string_view local;  // the rest, escapes kept; the whole text when ns is Any
};
// `attr`: an attribute's name, which "" in the map does not bind.
[[nodiscard]] ParseResult<QualifiedName> parse_name(std::string_view text, bool attr, Nesting at);
[[nodiscard]] ParseResult<Component> parse_component(std::string_view text, Nesting at);

[[nodiscard]] ParseResult<std::vector<Component>> tokenize(std::string_view text, Nesting at);
[[nodiscard]] ParseResult<Filter> parse_filter(std::string_view text, Nesting at);

}  // namespace varnex::path::detail
