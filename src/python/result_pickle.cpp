// Result objects do not pickle: they refer to the document they were read from.
#include "python/result.hpp"

namespace varnex::python {
namespace {

constexpr const char* kResultNotPicklable =
    "cannot pickle 'varnex.Result' object: it refers to the document it was read from; "
    "pickle plain values instead (to_str(), value, or to_str_list() for every item)";

}  // namespace

PyObject* Result_reduce(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, kResultNotPicklable);
  return nullptr;
}

}  // namespace varnex::python
