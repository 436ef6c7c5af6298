// Argument binding: the one binder behind every function and method.
#include "python/args.hpp"

#include "python/errors.hpp"
#include "python/mapped_file.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"

namespace varnex::python {
namespace {

const char* expected_type_name(ParamKind kind) noexcept {
  return kind == ParamKind::Bytes || kind == ParamKind::BytesDoc ? "bytes" : "str";
}

// Sets the conversion's TypeError for a value of the wrong type.
void raise_wrong_type(PyObject* value, ParamKind kind) noexcept {
  raise_not_instance(value, expected_type_name(kind));
}

// Converts one argument; false with the conversion's error set.
bool convert(PyObject* value, ParamKind kind, BoundArg& out) noexcept {
  out.object = value;
  switch (kind) {
    case ParamKind::Any: return true;
    case ParamKind::Flag: {
      const int truth = PyObject_IsTrue(value);
      out.flag = truth == 1;
      return truth >= 0;
    }
    case ParamKind::StrDoc:
      if (PyUnicode_Check(value) || is_path_like(value)) return true;
      raise_wrong_type(value, kind);
      return false;
    case ParamKind::BytesDoc:
      if (PyBytes_Check(value) || is_path_like(value)) return true;
      raise_wrong_type(value, kind);
      return false;
    case ParamKind::Bytes:
      if (PyBytes_Check(value)) return true;
      raise_wrong_type(value, kind);
      return false;
    case ParamKind::Str:
    case ParamKind::Utf8:
      if (!PyUnicode_Check(value)) {
        raise_wrong_type(value, kind);
        return false;
      }
      if (kind == ParamKind::Utf8) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (data == nullptr) return false;
        out.utf8 = std::string_view(data, static_cast<size_t>(size));
      }
      return true;
  }
  return true;
}

void raise_missing(const Signature& signature, const BoundArg* out) {
  const char* missing[kMaxParams];
  size_t count = 0;
  for (size_t i = 0; i < signature.params.size(); ++i) {
    if (out[i].object == nullptr && signature.params[i].required)
      missing[count++] = signature.params[i].name;
  }
  raise_missing_positional(signature.display, {missing, count});
}

}  // namespace

bool bind_args(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, BoundArg* out) noexcept {
  return call_guarded([&]() -> int {
           const auto nall = static_cast<Py_ssize_t>(signature.params.size());
           for (Py_ssize_t i = 0; i < nall; ++i) out[i] = BoundArg{};
           Py_ssize_t nparams = 0;  // the positional ones
           while (nparams < nall && !signature.params[nparams].keyword_only) ++nparams;
           if (nargs > nparams) {
             Py_ssize_t nrequired = 0;
             while (nrequired < nparams && signature.params[nrequired].required) ++nrequired;
             raise_too_many_positional(signature.display, nrequired, nparams, nargs);
             return -1;
           }
           for (Py_ssize_t i = 0; i < nargs; ++i) out[i].object = args[i];

           const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
           for (Py_ssize_t k = 0; k < nkw; ++k) {
             PyObject* keyword = PyTuple_GetItem(kwnames, k);  // borrowed
             if (keyword == nullptr) return -1;
             Py_ssize_t index = 0;
             while (index < nall &&
                    PyUnicode_CompareWithASCIIString(keyword, signature.params[index].name) != 0) {
               ++index;
             }
             if (index == nall) {
               raise_unexpected_keyword(signature.display, keyword);
               return -1;
             }
             if (out[index].object != nullptr) {
               raise_multiple_values(signature.display, signature.params[index].name);
               return -1;
             }
             out[index].object = args[nargs + k];
           }

           for (Py_ssize_t i = 0; i < nparams; ++i) {
             if (out[i].object == nullptr && signature.params[i].required) {
               raise_missing(signature, out);
               return -1;
             }
           }
           for (Py_ssize_t i = 0; i < nall; ++i) {
             if (out[i].object == nullptr) continue;  // an optional one left out
             if (!convert(out[i].object, signature.params[i].kind, out[i])) {
               name_the_argument(signature.params[i].name);
               return -1;
             }
           }
           return 0;
         }) == 0;
}

bool read_threads(PyObject* threads, unsigned& out) noexcept {
  out = 1;
  if (threads == nullptr || threads == Py_None) return true;
  if (!PyLong_Check(threads) || PyBool_Check(threads)) {
    raise_threads_not_int(threads);
    return false;
  }
  const long long n = PyLong_AsLongLong(threads);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 0) {
    raise_threads_negative(n);
    return false;
  }
  // More threads than ranges of a document are never used.
  out = n > 1024 ? 1024u : static_cast<unsigned>(n);
  return true;
}

}  // namespace varnex::python
