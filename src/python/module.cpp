// Module definition and PyInit__varnex, the one exported symbol.
#include <Python.h>

namespace {

int varnex_exec(PyObject* module) noexcept {
  PyObject* all = PyList_New(0);
  if (all == nullptr) return -1;
  if (PyModule_AddObject(module, "__all__", all) < 0) {
    Py_DecRef(all);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot varnex_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(varnex_exec)},
    {0, nullptr},
};

PyModuleDef varnex_module = {
    PyModuleDef_HEAD_INIT, "_varnex", "", 0, nullptr, varnex_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__varnex(void) { return PyModuleDef_Init(&varnex_module); }
