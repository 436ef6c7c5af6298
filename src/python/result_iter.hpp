// Iteration over a Result: by items, by characters, or by child names.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/ref.hpp"

namespace varnex::python {

// Each creates its class once and returns a new reference to it.
[[nodiscard]] Ref create_result_char_iter_type() noexcept;
[[nodiscard]] Ref create_result_item_iter_type() noexcept;
[[nodiscard]] Ref create_result_child_key_iter_type() noexcept;

// Returns a new reference to a ResultChildKeyIter over the unique names of
// the direct children in `element`, each decoded strictly; NULL with
// ValueError set when a name is not UTF-8. May throw bad_alloc.
[[nodiscard]] Ref make_child_key_iter(std::string_view element);

}  // namespace varnex::python
