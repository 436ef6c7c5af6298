// Compact, readable renderings of compiled programs, for test tables and debugging.
#pragma once

#include <string>
#include <vector>

#include "path/program.hpp"

namespace varnex::path {

// Steps joined by " / ": `name`, `name[3]`, `name[count]`, `name[each]`, `**name`,
// `name[first (lhs op value)]`, `name[all (...)]`, `@attr`, `#text`. Globs print as `~pattern`;
// names with characters outside [A-Za-z0-9_-] are single-quoted. Modifiers follow " |", a
// collect mode other than Normal follows " ;".
[[nodiscard]] std::string describe(const Program& program);
[[nodiscard]] std::string describe_steps(const std::vector<Step>& steps);
[[nodiscard]] std::string describe_filter(const Filter& filter);
[[nodiscard]] std::string describe_value(const FilterValue& value);

}  // namespace varnex::path
