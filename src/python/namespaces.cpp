// namespaces(): the prefix -> URI declarations of a document, so a caller can write the map.
#include "python/namespaces.hpp"

#include <vector>

#include "engine/namespaces.hpp"
#include "python/args.hpp"
#include "python/docstrings.hpp"
#include "python/errors.hpp"
#include "python/source.hpp"
#include "python/unlocked.hpp"

namespace varnex::python {
namespace {

constexpr Param kNamespacesParams[] = {{"data", ParamKind::Any}};
constexpr Signature kNamespacesSignature{"namespaces()", kNamespacesParams};

Ref text_of(std::string_view bytes) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

// Returns a new dict: each prefix ("" for the default namespace) with the URIs it is bound to,
// each once, in document order ("" where the default namespace is undeclared).
PyObject* py_namespaces(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[1];
    if (!bind_args(kNamespacesSignature, args, nargs, kwnames, bound)) return nullptr;
    SourceBytes doc;
    if (!doc.acquire(bound[0].object) || !doc.decode_document()) return nullptr;
    std::vector<engine::Binding> found;
    {
      const UnlockedPass unlocked(doc.is_immutable(), doc.bytes().size());
      found = engine::declarations(doc.bytes());
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const engine::Binding& b : found) {
      Ref prefix = text_of(b.prefix);
      Ref uri = text_of(b.uri);
      if (!prefix || !uri) return nullptr;
      PyObject* uris = PyDict_GetItemWithError(out.get(), prefix.get());  // borrowed
      if (uris == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        Ref fresh = Ref::steal(PyList_New(0));
        if (!fresh || PyDict_SetItem(out.get(), prefix.get(), fresh.get()) < 0) return nullptr;
        uris = fresh.get();
      }
      const int seen = PySequence_Contains(uris, uri.get());
      if (seen < 0 || (seen == 0 && PyList_Append(uris, uri.get()) < 0)) return nullptr;
    }
    return out.release();
  });
}

}  // namespace

PyMethodDef kNamespacesDef = {"namespaces", as_cfunction<py_namespaces>(),
                              METH_FASTCALL | METH_KEYWORDS, doc::namespaces};

}  // namespace varnex::python
