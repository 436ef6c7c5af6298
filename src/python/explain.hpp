// What varnex.explain needs of the native module: a path's steps as compiled, a run of its
// first steps, and an element's name.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kPathStepsDef;
extern PyMethodDef kRunStepsDef;
extern PyMethodDef kElementNameDef;

}  // namespace varnex::python
