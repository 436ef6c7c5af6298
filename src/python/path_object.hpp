// The Path class (compiled paths), compile(), and turning a paths list into programs.
#pragma once

#include <Python.h>

#include <vector>

#include "path/program.hpp"
#include "python/ref.hpp"

namespace varnex::python {

extern PyMethodDef kCompileDef;

// The Path class's description; module.cpp makes each module instance's class.
extern PyType_Spec kPathSpec;

// One entry per element of `list` (a list, borrowed): its program, or null
// for an empty string. False with ValueError (a path error) or TypeError set;
// `out` is then empty.
// A str entry is read with `namespaces` when given; a Path keeps the map it was compiled with.
[[nodiscard]] bool collect_programs(PyObject* list, std::vector<path::ProgramPtr>& out,
                                    const path::NamespaceMap* namespaces = nullptr);

}  // namespace varnex::python
