// namespaces(): the declarations a document makes.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kNamespacesDef;

}  // namespace varnex::python
