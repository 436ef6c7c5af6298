// Module definition, its execution slot and PyInit__varnex, the one exported symbol.
#include <Python.h>

#include <iterator>
#include <new>

#include "python/columns.hpp"
#include "python/cutting.hpp"
#include "python/describe.hpp"
#include "python/docstrings.hpp"
#include "python/element_dict.hpp"
#include "python/errors.hpp"
#include "python/explain.hpp"
#include "python/functions.hpp"
#include "python/many.hpp"
#include "python/mapped_file.hpp"
#include "python/module_state.hpp"
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
    &kGetDef,   &kGetBytesDef, &kGetBufferDef, &kGetManyDef, &kGetManyBytesDef, &kGetManyBufferDef,
    &kParseDef, &kCompileDef,  &kValidateDef,  &kCheckDef,   &kNamespacesDef,
};

// Private helpers of the package's own modules: attributes, not in __all__.
PyMethodDef* const kPrivateFunctions[] = {
    &kElementDictDef,     &kToStrLossyDef,    &kCompilePlanDef, &kRecordsDef,
    &kTableDef,           &kTableStreamDef,   &kDescribeDef,    &kSetOffsetLimitDef,
    &kSetIndexPathDef,    &kStreamOpenDef,    &kStreamFeedDef,  &kStreamTakeDef,
    &kSetStreamWindowDef, &kDeclaredCodecDef, &kPathStepsDef,   &kRunStepsDef,
    &kElementNameDef,     &kCutRootDef,       &kNextCutDef,     &kEndsBetweenChildrenDef};

// A class of the module: where it goes in the state, its name, and how it is made (from
// its spec, or by `make` for those the interpreter makes from other descriptions).
struct ClassEntry {
  Class index;
  const char* name;
  PyType_Spec* spec;
  Ref (*make)(PyObject* module) noexcept;
};

// Classes in the order of __all__, after the functions; the private ones last.
const ClassEntry kClasses[] = {
    {Class::Path, "Path", &kPathSpec, nullptr},
    {Class::Result, "Result", &kResultSpec, nullptr},
    {Class::CharIter, "ResultCharIter", &kCharIterSpec, nullptr},
    {Class::ItemIter, "ResultItemIter", &kItemIterSpec, nullptr},
    {Class::ChildKeyIter, "ResultChildKeyIter", &kChildKeyIterSpec, nullptr},
    {Class::ChildValueIter, "ResultChildValueIter", &kChildValueIterSpec, nullptr},
    {Class::ChildItemIter, "ResultChildItemIter", &kChildItemIterSpec, nullptr},
    {Class::ChildIter, "ResultChildIter", &kChildIterSpec, nullptr},
    {Class::KeysView, "ResultKeysView", &kKeysViewSpec, nullptr},
    {Class::ValuesView, "ResultValuesView", &kValuesViewSpec, nullptr},
    {Class::ItemsView, "ResultItemsView", &kItemsViewSpec, nullptr},
    {Class::ChildrenView, "ResultChildrenView", &kChildrenViewSpec, nullptr},
    {Class::SyntaxError, "XMLSyntaxError", nullptr, create_syntax_error_type},
    {Class::MappedFile, nullptr, &kMappedFileSpec, nullptr},
    {Class::ColumnArrays, nullptr, nullptr, create_column_arrays_type},
};
static_assert(std::size(kClasses) == static_cast<size_t>(Class::Count));

ModuleState& mutable_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

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
    ModuleState& state = *new (PyModule_GetState(module)) ModuleState();
    for (size_t i = 0; i < state.names.size(); ++i) {
      state.names[i] = PyUnicode_InternFromString(kNameTexts[i]);
      if (state.names[i] == nullptr) return -1;
    }
    for (const ClassEntry& entry : kClasses) {
      Ref cls = entry.spec != nullptr
                    ? Ref::steal(PyType_FromModuleAndSpec(module, entry.spec, nullptr))
                    : entry.make(module);
      if (!cls) return -1;
      state.classes[static_cast<size_t>(entry.index)] = Ref::borrow(cls.get()).release();
      if (entry.name != nullptr && add_public(module, all.get(), entry.name, cls.get()) < 0)
        return -1;
    }
    return register_exit_wait() ? 0 : -1;
  });
}

int varnex_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
  ModuleState& state = mutable_state(module);
  for (PyObject* cls : state.classes) Py_VISIT(cls);
  for (PyObject* name : state.names) Py_VISIT(name);
  return 0;
}

int varnex_clear(PyObject* module) noexcept {
  ModuleState& state = mutable_state(module);
  for (PyObject*& cls : state.classes) Py_CLEAR(cls);
  for (PyObject*& name : state.names) Py_CLEAR(name);
  return 0;
}

void varnex_free(void* module) noexcept { varnex_clear(static_cast<PyObject*>(module)); }

// Sub-interpreters: each has its own instance of the module and so its own classes, and
// nothing the interpreter owns is kept between instances. They must share the main
// interpreter's lock, though: what is process-wide (the exit's wait for passes without the
// lock, the handler of lost file pages) counts on one lock.
// Py_mod_multiple_interpreters and its values, from 3.12's stable ABI (the build targets
// 3.11, whose headers lack them; 3.11 itself knows no such slot and refuses unknown ones).
constexpr int kMultipleInterpretersSlot = 3;
void* const kSupportedSharingTheLock = reinterpret_cast<void*>(1);

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(varnex_exec)},
    {0, nullptr},  // the interpreters policy, where the running interpreter knows it
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_varnex",       doc::module_, sizeof(ModuleState), nullptr,
    kModuleSlots,          varnex_traverse, varnex_clear, varnex_free,
};

}  // namespace
}  // namespace varnex::python

PyMODINIT_FUNC PyInit__varnex(void) {
  using namespace varnex::python;
  if (Py_Version >= 0x030C0000)
    kModuleSlots[1] = {kMultipleInterpretersSlot, kSupportedSharingTheLock};
  return PyModuleDef_Init(&kModuleDef);
}
