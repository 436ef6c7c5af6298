// The dict-like views of a Result and the iterators behind them.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace varnex::python {

// Each creates its class once and returns a new reference to it.
[[nodiscard]] Ref create_result_child_value_iter_type() noexcept;
[[nodiscard]] Ref create_result_child_item_iter_type() noexcept;
[[nodiscard]] Ref create_result_child_iter_type() noexcept;
[[nodiscard]] Ref create_result_keys_view_type() noexcept;
[[nodiscard]] Ref create_result_values_view_type() noexcept;
[[nodiscard]] Ref create_result_items_view_type() noexcept;
[[nodiscard]] Ref create_result_children_view_type() noexcept;

// The Result a view was made from: borrowed, valid while the view lives;
// NULL only for a view the garbage collector has already cleared.
[[nodiscard]] PyObject* view_parent(PyObject* view) noexcept;

}  // namespace varnex::python
