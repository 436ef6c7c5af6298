// _element_dict: one element as nested dicts, lists and strings, for the command line's JSON;
// _to_str_lossy: to_str() with U+FFFD for text that is not UTF-8, which JSON cannot carry.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kElementDictDef;
extern PyMethodDef kToStrLossyDef;

}  // namespace varnex::python
