// Iteration over a Result: by items, by characters, or by child names.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// The iterator classes' descriptions; module.cpp makes each module instance's classes.
extern PyType_Spec kCharIterSpec;
extern PyType_Spec kItemIterSpec;
extern PyType_Spec kChildKeyIterSpec;

// Returns a new reference to a ResultChildKeyIter over the unique names of
// the direct children in `element`, each decoded strictly; NULL with
// ValueError set when a name is not UTF-8. May throw bad_alloc.
// `state_of_module` gives the class.
[[nodiscard]] Ref make_child_key_iter(const ModuleState& state_of_module, std::string_view element);

}  // namespace varnex::python
