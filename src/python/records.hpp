// records() and table_raw(): the records a path selects, as rows or as columns.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kRecordsDef;
extern PyMethodDef kTableRawDef;

}  // namespace varnex::python
