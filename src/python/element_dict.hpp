// _element_dict: one element as nested dicts, lists and strings, for the command line's JSON.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kElementDictDef;

}  // namespace varnex::python
