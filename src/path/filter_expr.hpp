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

  [[nodiscard]] size_t offset(const char* p) const noexcept {
    return static_cast<size_t>(p - origin);
  }
  [[nodiscard]] Nesting deeper() const noexcept { return {origin, depth + 1}; }
};

[[nodiscard]] ParseResult<std::vector<Component>> tokenize(std::string_view text, Nesting at);
[[nodiscard]] ParseResult<Filter> parse_filter(std::string_view text, Nesting at);

}  // namespace varnex::path::detail
