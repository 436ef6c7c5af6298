// Internal: the tokenizer and the filter parser call each other; `depth` bounds that recursion.
#pragma once

#include <string_view>
#include <vector>

#include "path/compiler.hpp"

namespace varnex::path::detail {

[[nodiscard]] ParseResult<std::vector<Component>> tokenize(std::string_view text, int depth);
[[nodiscard]] ParseResult<Filter> parse_filter(std::string_view text, int depth);

}  // namespace varnex::path::detail
