// _records() and _table(): the records a plan selects, as rows or as columns.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kRecordsDef;
extern PyMethodDef kTableDef;
extern PyMethodDef kTableStreamDef;
extern PyMethodDef kSetOffsetLimitDef;
extern PyMethodDef kSetIndexPathDef;

}  // namespace varnex::python
