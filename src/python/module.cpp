// Module definition, its execution slot and PyInit__varnex, the one exported symbol.
#include <Python.h>

#include "python/cutting.hpp"
#include "python/describe.hpp"
#include "python/docstrings.hpp"
#include "python/element_dict.hpp"
#include "python/errors.hpp"
#include "python/explain.hpp"
#include "python/functions.hpp"
#include "python/many.hpp"
#include "python/namespaces.hpp"
#include "python/path_object.hpp"
#include "python/plan.hpp"
#include "python/records.hpp"
#include "python/ref.hpp"
#include "python/result.hpp"
#include "python/result_iter.hpp"
#include "python/result_views.hpp"
#include "python/stream.hpp"
#include "python/unlocked.hpp"

namespace varnex::python {
namespace {

// Functions in the order of __all__.
PyMethodDef* const kFunctions[] = {
    &kGetDef,          &kGetBytesDef, &kGetBufferDef, &kGetManyDef,  &kGetManyBytesDef,
    &kGetManyBufferDef, &kParseDef,   &kCompileDef,   &kValidateDef,
    &kCheckDef,         &kNamespacesDef,
};

// Private helpers of the package's own modules: attributes, not in __all__.
PyMethodDef* const kPrivateFunctions[] = {&kElementDictDef, &kToStrLossyDef, &kCompilePlanDef,
                                          &kRecordsDef,     &kTableDef,      &kDescribeDef,
                                          &kSetOffsetLimitDef,
                                          &kStreamOpenDef,  &kStreamFeedDef,   &kStreamTakeDef,
                                          &kSetStreamWindowDef, &kPathStepsDef, &kRunStepsDef,
                                          &kElementNameDef, &kCutRootDef, &kNextCutDef,
                                          &kEndsBetweenChildrenDef};

struct ClassEntry {
  const char* name;
  Ref (*create)() noexcept;  // returns a new reference to the class object
};

// Classes in the order of __all__, after the functions.
const ClassEntry kClasses[] = {
    {"Path", create_path_type},
    {"Result", create_result_type},
    {"ResultCharIter", create_result_char_iter_type},
    {"ResultItemIter", create_result_item_iter_type},
    {"ResultChildKeyIter", create_result_child_key_iter_type},
    {"ResultChildValueIter", create_result_child_value_iter_type},
    {"ResultChildItemIter", create_result_child_item_iter_type},
    {"ResultChildIter", create_result_child_iter_type},
    {"ResultKeysView", create_result_keys_view_type},
    {"ResultValuesView", create_result_values_view_type},
    {"ResultItemsView", create_result_items_view_type},
    {"ResultChildrenView", create_result_children_view_type},
};

// Appends `name` to __all__, then sets the attribute. -1 with an exception set.
int add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) noexcept {
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return -1;
  return PyObject_SetAttr(module, text.get(), value);
}

// Returns a new reference to the module's __all__ list, created when absent.
Ref module_all(PyObject* module) noexcept {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
  PyErr_Clear();
  all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
  return all;
}

int varnex_exec(PyObject* module) noexcept {
  return call_guarded([&]() -> int {
    Ref all = module_all(module);
    if (!all) return -1;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def : kFunctions) {
      Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
      if (!function || add_public(module, all.get(), def->ml_name, function.get()) < 0) return -1;
    }
    for (PyMethodDef* def : kPrivateFunctions) {
      Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
      if (!function || PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) return -1;
    }
    for (const ClassEntry& entry : kClasses) {
      Ref cls = entry.create();
      if (!cls || add_public(module, all.get(), entry.name, cls.get()) < 0) return -1;
    }
    Ref syntax_error = create_syntax_error_type();
    if (!syntax_error || add_public(module, all.get(), "XMLSyntaxError", syntax_error.get()) < 0)
      return -1;
    return register_exit_wait() ? 0 : -1;
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(varnex_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_varnex", doc::module_, 0, nullptr, kModuleSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace varnex::python

PyMODINIT_FUNC PyInit__varnex(void) { return PyModuleDef_Init(&varnex::python::kModuleDef); }
