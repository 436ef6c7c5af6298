// _describe(): the element and attribute paths found inside a document's records.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kDescribeDef;

}  // namespace varnex::python
