// repr() of a Result and of its views.
#pragma once

#include <Python.h>

namespace varnex::python {

// tp_repr slots; each returns a new reference or NULL with an exception set.
PyObject* Result_repr(PyObject* self) noexcept;
PyObject* ResultKeysView_repr(PyObject* self) noexcept;
PyObject* ResultValuesView_repr(PyObject* self) noexcept;
PyObject* ResultItemsView_repr(PyObject* self) noexcept;
PyObject* ResultChildrenView_repr(PyObject* self) noexcept;

}  // namespace varnex::python
