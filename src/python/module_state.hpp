// What one instance of the module owns: its classes and the names it looks up. Each interpreter
// that imports the module gets its own, so no Python object is shared between interpreters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <iterator>

namespace varnex::python {

// The module's classes; the order is that of __all__ (the private ones last).
enum class Class : size_t {
  Path,
  Result,
  CharIter,
  ItemIter,
  ChildKeyIter,
  ChildValueIter,
  ChildItemIter,
  ChildIter,
  KeysView,
  ValuesView,
  ItemsView,
  ChildrenView,
  SyntaxError,
  MappedFile,
  ColumnArrays,
  Count,
};

// Attribute names the module looks up, interned once per module instance.
enum class Name : size_t {
  Fspath,
  Obj,
  // a field as the plan reads it (varnex._fields.NativeField)
  FieldName,
  FieldPath,
  FieldKind,
  FieldA,
  FieldB,
  FieldLargeList,
  FieldOnRepeat,
  FieldOnInvalid,
  FieldNullValues,
  FieldFormat,
  FieldMaker,
  Count
};
inline constexpr const char* kNameTexts[] = {
    "__fspath__", "obj",       "name",       "path",        "kind",   "a",    "b",
    "large_list", "on_repeat", "on_invalid", "null_values", "format", "maker"};
static_assert(std::size(kNameTexts) == static_cast<size_t>(Name::Count));

struct ModuleState {
  std::array<PyObject*, static_cast<size_t>(Class::Count)> classes{};  // strong references
  std::array<PyObject*, static_cast<size_t>(Name::Count)> names{};     // strong references

  [[nodiscard]] PyTypeObject* type(Class cls) const noexcept {
    return reinterpret_cast<PyTypeObject*>(classes[static_cast<size_t>(cls)]);
  }
  [[nodiscard]] PyObject* object(Class cls) const noexcept {
    return classes[static_cast<size_t>(cls)];
  }
  [[nodiscard]] PyObject* name(Name name) const noexcept {
    return names[static_cast<size_t>(name)];
  }
};

// The state of `module`, an instance of this module (a module function's `self`).
[[nodiscard]] inline const ModuleState& module_state(PyObject* module) noexcept {
  return *static_cast<const ModuleState*>(PyModule_GetState(module));
}

// The state of the module that made `type`, one of the classes above (never subclassed).
[[nodiscard]] inline const ModuleState& type_state(PyTypeObject* type) noexcept {
  return *static_cast<const ModuleState*>(PyType_GetModuleState(type));
}

// The state of the module whose class `obj` is an instance of.
[[nodiscard]] inline const ModuleState& state_of(PyObject* obj) noexcept {
  return type_state(Py_TYPE(obj));
}

// Allocates an instance of `type` (its tp_alloc); NULL with an exception set.
[[nodiscard]] inline PyObject* alloc_instance(PyTypeObject* type) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// Whether `obj` is an instance of a class whose deallocator is `dealloc`: one class of this
// module, made by any instance of it (the function is shared, the class objects are not).
[[nodiscard]] inline bool has_dealloc(PyObject* obj, destructor dealloc) noexcept {
  return PyType_GetSlot(Py_TYPE(obj), Py_tp_dealloc) == reinterpret_cast<void*>(dealloc);
}

}  // namespace varnex::python
