// Multi-path queries: get_many, get_many_bytes, get_many_buffer and Result.get_many.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kGetManyDef;
extern PyMethodDef kGetManyBytesDef;
extern PyMethodDef kGetManyBufferDef;

// Result.get_many(paths), registered in the Result method table.
PyObject* Result_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

}  // namespace varnex::python
