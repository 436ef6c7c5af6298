// The native side of varnex.explain: the compiled steps of a path, runs of its first steps
// with the real engine, and the name of the element a Result holds.
#include "python/explain.hpp"

#include <string>

#include "engine/engine.hpp"
#include "path/describe.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/path_object.hpp"
#include "python/py_item.hpp"
#include "python/query.hpp"
#include "python/result.hpp"
#include "python/source.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

const char* selector_name(path::SelectorKind kind) noexcept {
  switch (kind) {
    case path::SelectorKind::Bare: return "";
    case path::SelectorKind::Index: return "index";
    case path::SelectorKind::Count: return "count";
    case path::SelectorKind::Each: return "each";
    case path::SelectorKind::FilterFirst: return "first";
    case path::SelectorKind::FilterAll: return "all";
  }
  return "";
}

// (kind, name, selector, index, filter) for one step.
Ref step_tuple(const path::Step& step) {
  const char* kind = "text";
  std::string name;
  const char* selector = "";
  unsigned long long index = 0;
  std::string filter;
  switch (step.kind) {
    case path::StepKind::Element:
      kind = step.descendant ? "descendant" : "element";
      name = step.name.text();
      selector = selector_name(step.selector.kind);
      index = step.selector.index;
      if (step.selector.filter) filter = path::describe_filter(*step.selector.filter);
      break;
    case path::StepKind::Attr:
      kind = "attr";
      name = step.attr;
      break;
    case path::StepKind::Text: break;
  }
  Ref name_text = decode_lossy(name);
  Ref filter_text = decode_lossy(filter);
  if (!name_text || !filter_text) return {};
  return Ref::steal(
      Py_BuildValue("(sNsKN)", kind, name_text.release(), selector, index, filter_text.release()));
}

constexpr Param kStepsParams[] = {{"path", ParamKind::Utf8},
                                  {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kStepsSignature{"_path_steps()", kStepsParams};

PyObject* py_path_steps(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kStepsSignature, args, nargs, kwnames, bound)) return nullptr;
    PathArgs paths;
    if (!paths.read_namespaces(bound[1].object)) return nullptr;
    const path::ProgramPtr program = paths.compile(bound[0].utf8);
    if (!program) return nullptr;
    Ref steps = Ref::steal(PyList_New(0));
    if (!steps) return nullptr;
    for (const path::Step& step : program->steps) {
      Ref entry = step_tuple(step);
      if (!entry || PyList_Append(steps.get(), entry.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(On)", steps.get(), static_cast<Py_ssize_t>(program->modifiers.size()));
  });
}

constexpr Param kRunParams[] = {{"data", ParamKind::Any},
                                {"path", ParamKind::Utf8},
                                {"count", ParamKind::Any},
                                {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kRunSignature{"_run_steps()", kRunParams};

// The first `count` steps of `path`, without its modifiers, over any document.
PyObject* py_run_steps(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(kRunSignature, args, nargs, kwnames, bound)) return nullptr;
    PathArgs paths;
    if (!paths.read_namespaces(bound[3].object)) return nullptr;
    const path::ProgramPtr program = paths.compile(bound[1].utf8);
    if (!program) return nullptr;
    const Py_ssize_t count = PyLong_AsSsize_t(bound[2].object);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (count < 1 || static_cast<size_t>(count) > program->steps.size()) {
      raise(Message::RunStepsCount);
      return nullptr;
    }
    path::Program first;
    first.steps.assign(program->steps.begin(), program->steps.begin() + count);
    first.scoped = program->scoped;  // its names keep their namespaces
    return query_one(module_state(module), first, bound[0].object, false).release();
  });
}

constexpr Param kNameParams[] = {{"result", ParamKind::Any}};
constexpr Signature kNameSignature{"_element_name()", kNameParams};

// The name of the first element a Result holds (for parse(), the root's); None for a
// text or nothing.
PyObject* py_element_name(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[1];
    if (!bind_args(kNameSignature, args, nargs, kwnames, bound)) return nullptr;
    if (!is_result(bound[0].object)) {
      raise(Message::ElementNameArgument);
      return nullptr;
    }
    const PyItems& items = result_items(bound[0].object);
    if (items.empty() || items.is_text(0)) Py_RETURN_NONE;
    ElementBytes element;
    if (!element.load(items, 0)) return nullptr;
    const auto name = engine::first_element_name(element.bytes());
    if (!name) Py_RETURN_NONE;
    return decode_lossy(*name).release();
  });
}

}  // namespace

PyMethodDef kPathStepsDef = {"_path_steps", as_cfunction<py_path_steps>(),
                             METH_FASTCALL | METH_KEYWORDS,
                             "_path_steps(path, *, namespaces=None)\n--\n\n"};
PyMethodDef kRunStepsDef = {"_run_steps", as_cfunction<py_run_steps>(),
                            METH_FASTCALL | METH_KEYWORDS,
                            "_run_steps(data, path, count, *, namespaces=None)\n--\n\n"};
PyMethodDef kElementNameDef = {"_element_name", as_cfunction<py_element_name>(),
                               METH_FASTCALL | METH_KEYWORDS, "_element_name(result)\n--\n\n"};

}  // namespace varnex::python
