// What a compiled program gives, as tables need to know it before any document is read: one
// value or a list, elements or values, and the forms a record and its fields are run in.
#pragma once

#include <string>
#include <string_view>

#include "path/program.hpp"

namespace varnex::path {

// Whether the program selects each of several matches (`.#` at its end or inside, `#(...)#`,
// `**`) and keeps them all: no modifier reduces them to one value.
[[nodiscard]] bool selects_each(const Program& program) noexcept;

// Whether the program gives elements: it ends in an element step and no modifier turns its
// matches into a number.
[[nodiscard]] bool yields_elements(const Program& program) noexcept;

// The program with a final `.#` selecting each match, as it does before further steps: a
// record path is the first half of every field's path, and a count is written `|@count`.
// The program itself when it does not end so.
[[nodiscard]] ProgramPtr each_at_end(ProgramPtr program);

// The form a field runs in inside one record: each_at_end, and a plain name before further
// steps follows every element it matches instead of raising the ambiguity error, so that a
// field's matches are all of its matches in the record, in document order, and a scalar
// field that matches twice is told by its count.
[[nodiscard]] ProgramPtr every_match(ProgramPtr program);

// `name` written as one path step that matches exactly that element name: characters the
// path language gives a meaning to are escaped, and a name that would read as an index too.
[[nodiscard]] std::string escape_name(std::string_view name);

}  // namespace varnex::path
