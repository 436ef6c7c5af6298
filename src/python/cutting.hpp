// Private helpers that cut one large file into partitions at exact record boundaries (the Dask
// reader's blocksize): where the root starts, where a range may end, and whether it does.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kCutRootDef;
extern PyMethodDef kNextCutDef;
extern PyMethodDef kEndsBetweenChildrenDef;

}  // namespace varnex::python
