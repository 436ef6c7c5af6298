// Files named by an os.PathLike, read through a read-only map of their bytes.
#pragma once

#include <Python.h>

#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// The class's description; module.cpp makes each module instance's class.
extern PyType_Spec kMappedFileSpec;

// True when `data` names a file: an os.PathLike that is neither str nor bytes
// (those are documents themselves). `state`, where one is at hand, has the name to look up.
[[nodiscard]] bool is_path_like(PyObject* data, const ModuleState* state = nullptr) noexcept;

// A new reference to an object exporting the bytes of the file `path` names
// as a read-only buffer. The file is mapped, not read, and its descriptor
// closed at once; the map goes when the last reference does, so a Result that
// keeps spans into it keeps it. NULL with OSError (or the path's own error) set.
// The object is of `state`'s class.
[[nodiscard]] Ref map_file(const ModuleState& state, PyObject* path) noexcept;

// True for the objects map_file makes: no Python code can write their memory.
[[nodiscard]] bool is_mapped_file(PyObject* obj) noexcept;

}  // namespace varnex::python
