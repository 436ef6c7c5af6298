// The dict-like views of a Result and the iterators behind them.
#pragma once

#include <Python.h>

#include "python/ref.hpp"

namespace varnex::python {

// The classes' descriptions; module.cpp makes each module instance's classes.
extern PyType_Spec kChildValueIterSpec;
extern PyType_Spec kChildItemIterSpec;
extern PyType_Spec kChildIterSpec;
extern PyType_Spec kKeysViewSpec;
extern PyType_Spec kValuesViewSpec;
extern PyType_Spec kItemsViewSpec;
extern PyType_Spec kChildrenViewSpec;

// The Result a view was made from: borrowed, valid while the view lives;
// NULL only for a view the garbage collector has already cleared.
[[nodiscard]] PyObject* view_parent(PyObject* view) noexcept;

}  // namespace varnex::python
