// The module-level functions, in the order the module registers them.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kGetDef;
extern PyMethodDef kGetBytesDef;
extern PyMethodDef kGetBufferDef;
extern PyMethodDef kParseDef;
extern PyMethodDef kValidateDef;
extern PyMethodDef kCheckDef;

}  // namespace varnex::python
