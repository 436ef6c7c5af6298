// Result objects do not pickle: they refer to the document they were read from.
#include "python/messages.hpp"
#include "python/result.hpp"

namespace varnex::python {
PyObject* Result_reduce(PyObject*, PyObject*) noexcept {
  raise(Message::ResultNotPicklable);
  return nullptr;
}

}  // namespace varnex::python
