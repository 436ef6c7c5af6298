// Multi-path queries: several paths answered by one pass over the document.
#include "python/many.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "python/args.hpp"
#include "python/docstrings.hpp"
#include "python/errors.hpp"
#include "python/path_object.hpp"
#include "python/py_item.hpp"
#include "python/query.hpp"
#include "python/result.hpp"

namespace varnex::python {
namespace {

// The paths argument must be a list; the message matches the binder's
// conversion errors. False with TypeError set.
bool check_paths_list(PyObject* paths) noexcept {
  if (PyList_Check(paths)) return true;
  raise_not_instance(paths, "list", "paths");
  return false;
}

// Borrowed views of the programs that exist, in entry order.
std::vector<const path::Program*> existing(const std::vector<path::ProgramPtr>& programs) {
  std::vector<const path::Program*> out;
  for (const auto& p : programs) {
    if (p) out.push_back(p.get());
  }
  return out;
}

bool any_program(const std::vector<path::ProgramPtr>& programs) {
  for (const auto& p : programs) {
    if (p) return true;
  }
  return false;
}

// Returns a new reference to a list of `count` empty Results of `result_class`.
Ref empty_results(PyTypeObject* result_class, size_t count) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return {};
  for (size_t i = 0; i < count; ++i) {
    Ref result = empty_result(result_class);
    if (!result) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), result.release());  // steals
  }
  return list;
}

// Returns a new reference to the list of Results: the next lifted sequence
// for each entry with a program, an empty Result for the others.
Ref build_results(PyTypeObject* result_class, const std::vector<path::ProgramPtr>& programs,
                  std::vector<PyItems>&& lifted) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(programs.size())));
  if (!list) return {};
  size_t next = 0;
  for (size_t i = 0; i < programs.size(); ++i) {
    Ref result = programs[i] ? make_result(result_class, std::move(lifted[next++]))
                             : empty_result(result_class);
    if (!result) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), result.release());  // steals
  }
  return list;
}

constexpr Param kGetManyParams[] = {{"data", ParamKind::StrDoc},
                                    {"paths", ParamKind::Any},
                                    {"namespaces", ParamKind::Any, false, true},
                                    {"threads", ParamKind::Any, false, true}};
constexpr Param kGetManyBytesParams[] = {{"data", ParamKind::BytesDoc},
                                         {"paths", ParamKind::Any},
                                         {"namespaces", ParamKind::Any, false, true},
                                         {"threads", ParamKind::Any, false, true}};
constexpr Param kGetManyBufferParams[] = {{"data", ParamKind::Any},
                                          {"paths", ParamKind::Any},
                                          {"namespaces", ParamKind::Any, false, true},
                                          {"threads", ParamKind::Any, false, true}};

constexpr Signature kGetManySignature{"get_many()", kGetManyParams};
constexpr Signature kGetManyBytesSignature{"get_many_bytes()", kGetManyBytesParams};
constexpr Signature kGetManyBufferSignature{"get_many_buffer()", kGetManyBufferParams};

PyObject* query_many(PyObject* module, const Signature& signature, bool buffer,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(signature, args, nargs, kwnames, bound)) return nullptr;
    if (!check_paths_list(bound[1].object)) return nullptr;
    std::optional<path::NamespaceMap> namespaces;
    if (!read_namespaces(bound[2].object, namespaces)) return nullptr;
    unsigned threads = 1;
    if (!read_threads(bound[3].object, threads)) return nullptr;
    std::vector<path::ProgramPtr> programs;
    if (!collect_programs(bound[1].object, programs, namespaces ? &*namespaces : nullptr)) {
      return nullptr;
    }
    if (programs.empty()) return PyList_New(0);
    const ModuleState& state = module_state(module);
    PyTypeObject* result_class = state.type(Class::Result);
    if (!any_program(programs)) return empty_results(result_class, programs.size()).release();

    engine::RunOptions options;
    options.as_set = true;
    options.threads = threads;
    const std::vector<const path::Program*> views = existing(programs);
    std::vector<PyItems> lifted(views.size());
    if (!query_document(state, bound[0].object, buffer, views, options, lifted)) return nullptr;
    return build_results(result_class, programs, std::move(lifted)).release();
  });
}

PyObject* py_get_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return query_many(module, kGetManySignature, false, args, nargs, kwnames);
}

PyObject* py_get_many_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return query_many(module, kGetManyBytesSignature, false, args, nargs, kwnames);
}

PyObject* py_get_many_buffer(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return query_many(module, kGetManyBufferSignature, true, args, nargs, kwnames);
}

constexpr Param kResultGetManyParams[] = {{"paths", ParamKind::Any},
                                          {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kResultGetManySignature{"Result.get_many()", kResultGetManyParams};

}  // namespace

PyObject* Result_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kResultGetManySignature, args, nargs, kwnames, bound)) return nullptr;
    if (!check_paths_list(bound[0].object)) return nullptr;
    std::optional<path::NamespaceMap> namespaces;
    if (!read_namespaces(bound[1].object, namespaces)) return nullptr;
    const PyItems& items = result_items(self);
    if (items.size() > 1) {
      raise(Message::GetManyOnMulti);
      return nullptr;
    }
    std::vector<path::ProgramPtr> programs;
    if (!collect_programs(bound[0].object, programs, namespaces ? &*namespaces : nullptr)) {
      return nullptr;
    }
    if (programs.empty()) return PyList_New(0);
    if (items.empty() || items.is_text(0) || !any_program(programs)) {
      return empty_results(Py_TYPE(self), programs.size()).release();
    }

    // Collecting the paths ran no Python code, so the item is still ours to read.
    const std::vector<const path::Program*> views = existing(programs);
    std::vector<PyItems> lifted(views.size());
    if (!query_item(items, 0, views, true, lifted)) return nullptr;
    return build_results(Py_TYPE(self), programs, std::move(lifted)).release();
  });
}

PyMethodDef kGetManyDef = {"get_many", as_cfunction<py_get_many>(), METH_FASTCALL | METH_KEYWORDS,
                           doc::get_many};
PyMethodDef kGetManyBytesDef = {"get_many_bytes", as_cfunction<py_get_many_bytes>(),
                                METH_FASTCALL | METH_KEYWORDS, doc::get_many_bytes};
PyMethodDef kGetManyBufferDef = {"get_many_buffer", as_cfunction<py_get_many_buffer>(),
                                 METH_FASTCALL | METH_KEYWORDS, doc::get_many_buffer};

}  // namespace varnex::python
