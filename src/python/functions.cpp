// Single-path queries (get, get_bytes, get_buffer), parse and validate.
#include "python/functions.hpp"

#include "engine/check.hpp"
#include "engine/engine.hpp"
#include "python/args.hpp"
#include "python/docstrings.hpp"
#include "python/errors.hpp"
#include "python/path_object.hpp"
#include "python/query.hpp"
#include "python/result.hpp"
#include "python/source.hpp"
#include "python/unlocked.hpp"

namespace varnex::python {
namespace {

constexpr Param kGetParams[] = {{"data", ParamKind::StrDoc},
                                {"path", ParamKind::Utf8},
                                {"namespaces", ParamKind::Any, false, true},
                                {"threads", ParamKind::Any, false, true}};
constexpr Param kGetBytesParams[] = {{"data", ParamKind::BytesDoc},
                                     {"path", ParamKind::Utf8},
                                     {"namespaces", ParamKind::Any, false, true},
                                     {"threads", ParamKind::Any, false, true}};
constexpr Param kGetBufferParams[] = {{"data", ParamKind::Any},
                                      {"path", ParamKind::Utf8},
                                      {"namespaces", ParamKind::Any, false, true},
                                      {"threads", ParamKind::Any, false, true}};
constexpr Param kDataParams[] = {{"data", ParamKind::Any}};
constexpr Param kValidateParams[] = {{"data", ParamKind::Any},
                                     {"strict", ParamKind::Flag, false},
                                     {"threads", ParamKind::Any, false, true}};

constexpr Signature kGetSignature{"get()", kGetParams};
constexpr Signature kGetBytesSignature{"get_bytes()", kGetBytesParams};
constexpr Signature kGetBufferSignature{"get_buffer()", kGetBufferParams};
constexpr Signature kParseSignature{"parse()", kDataParams};
constexpr Signature kValidateSignature{"validate()", kValidateParams};
constexpr Signature kCheckSignature{"check()", kDataParams};

// get and get_bytes: the document's own bytes, read in place; spans refer to it.
PyObject* query_in_place(PyObject* module, const Signature& signature, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(signature, args, nargs, kwnames, bound)) return nullptr;
    const std::string_view path_text = bound[1].utf8;
    PathArgs paths;
    if (!paths.read_namespaces(bound[2].object)) return nullptr;
    unsigned threads = 1;
    if (!read_threads(bound[3].object, threads)) return nullptr;
    if (path_text.empty()) return empty_result(module_state(module).type(Class::Result)).release();
    const path::ProgramPtr program = paths.compile(path_text);
    if (!program) return nullptr;
    return query_one(module_state(module), *program, bound[0].object, false, threads).release();
  });
}

PyObject* py_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return query_in_place(module, kGetSignature, args, nargs, kwnames);
}

PyObject* py_get_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return query_in_place(module, kGetBytesSignature, args, nargs, kwnames);
}

PyObject* py_get_buffer(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(kGetBufferSignature, args, nargs, kwnames, bound)) return nullptr;
    const std::string_view path_text = bound[1].utf8;
    PathArgs paths;
    if (!paths.read_namespaces(bound[2].object)) return nullptr;
    unsigned threads = 1;
    if (!read_threads(bound[3].object, threads)) return nullptr;
    if (path_text.empty()) return empty_result(module_state(module).type(Class::Result)).release();
    // Path errors come before any complaint about the data.
    const path::ProgramPtr program = paths.compile(path_text);
    if (!program) return nullptr;
    return query_one(module_state(module), *program, bound[0].object, true, threads).release();
  });
}

PyObject* py_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[1];
    if (!bind_args(kParseSignature, args, nargs, kwnames, bound)) return nullptr;
    const ModuleState& state = module_state(module);
    const Ref data = open_document(state, bound[0].object);
    if (!data) return nullptr;
    {
      // Only check that the bytes can be had; the document is not read.
      SourceBytes check(state);
      if (!check.acquire(data.get())) return nullptr;
    }
    return make_result(state.type(Class::Result), PyItems::whole(data.get())).release();
  });
}

// The strict check of `data`'s bytes as the caller holds them (encodings are its business).
// False with an exception set when the bytes cannot be had.
bool check_source(const ModuleState& state, PyObject* given, engine::CheckReport* report,
                  bool* is_str) {
  const Ref data = open_document(state, given);
  if (!data) return false;
  SourceBytes doc(state);
  if (!doc.acquire(data.get())) return false;
  {
    const UnlockedPass unlocked(doc.is_immutable(), doc.bytes().size());
    *report = engine::check_document(doc.bytes(), doc.is_str());
  }
  *is_str = doc.is_str();
  return true;
}

PyObject* py_validate(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[3];
    if (!bind_args(kValidateSignature, args, nargs, kwnames, bound)) return nullptr;
    unsigned threads = 1;
    if (!read_threads(bound[2].object, threads)) return nullptr;
    if (bound[1].flag) {
      engine::CheckReport report;
      bool is_str = false;
      if (!check_source(module_state(module), bound[0].object, &report, &is_str)) return nullptr;
      return PyBool_FromLong(report.ok);
    }
    const ModuleState& state = module_state(module);
    const Ref data = open_document(state, bound[0].object);
    if (!data) return nullptr;
    SourceBytes doc(state);
    // The test is of structure, not of the encoding: a label nobody knows is no error here.
    if (!doc.acquire(data.get()) || !doc.decode_document(SourceBytes::UnknownLabel::ReadAsUtf8)) {
      return nullptr;
    }
    bool valid = false;
    {
      const UnlockedPass unlocked(doc.is_immutable(), doc.bytes().size());
      valid = engine::validate(doc.bytes(), threads);
    }
    doc.release();
    return PyBool_FromLong(valid);
  });
}

PyObject* py_check(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[1];
    if (!bind_args(kCheckSignature, args, nargs, kwnames, bound)) return nullptr;
    engine::CheckReport report;
    bool is_str = false;
    const ModuleState& state = module_state(module);
    if (!check_source(state, bound[0].object, &report, &is_str)) return nullptr;
    if (!report.ok) {
      raise_syntax_error(state, report, is_str);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef kGetDef = {"get", as_cfunction<py_get>(), METH_FASTCALL | METH_KEYWORDS, doc::get};
PyMethodDef kGetBytesDef = {"get_bytes", as_cfunction<py_get_bytes>(),
                            METH_FASTCALL | METH_KEYWORDS, doc::get_bytes};
PyMethodDef kGetBufferDef = {"get_buffer", as_cfunction<py_get_buffer>(),
                             METH_FASTCALL | METH_KEYWORDS, doc::get_buffer};
PyMethodDef kParseDef = {"parse", as_cfunction<py_parse>(), METH_FASTCALL | METH_KEYWORDS,
                         doc::parse};
PyMethodDef kValidateDef = {"validate", as_cfunction<py_validate>(), METH_FASTCALL | METH_KEYWORDS,
                            doc::validate};
PyMethodDef kCheckDef = {"check", as_cfunction<py_check>(), METH_FASTCALL | METH_KEYWORDS,
                         doc::check};

}  // namespace varnex::python
