// The Path class: a path compiled once and queried many times.
#include "python/path_object.hpp"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python/args.hpp"
#include "python/docstrings.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/query.hpp"
#include "python/source.hpp"

namespace varnex::python {
namespace {

struct PathObject {
  PyObject ob_base;  // PyObject_HEAD
  std::string path;
  path::ProgramPtr program;                      // never null once made
  std::optional<path::NamespaceMap> namespaces;  // the map it was compiled with, if any
};

PathObject* as_path(PyObject* self) noexcept { return reinterpret_cast<PathObject*>(self); }

void Path_dealloc(PyObject* self) noexcept;

bool is_path(PyObject* obj) noexcept { return has_dealloc(obj, Path_dealloc); }

// Returns a new reference to a Path of `state`'s class holding `text` and `program`.
Ref make_path(const ModuleState& state, std::string_view text, path::ProgramPtr program,
              std::optional<path::NamespaceMap> namespaces) {
  std::string copy(text);  // may throw: made before the object exists
  PyObject* self = alloc_instance(state.type(Class::Path));
  if (self == nullptr) return {};
  new (&as_path(self)->path) std::string(std::move(copy));
  new (&as_path(self)->program) path::ProgramPtr(std::move(program));
  new (&as_path(self)->namespaces) std::optional<path::NamespaceMap>(std::move(namespaces));
  return Ref::steal(self);
}

// ---- lifecycle -----------------------------------------------------------

void Path_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  as_path(self)->path.~basic_string();
  as_path(self)->program.~shared_ptr();
  as_path(self)->namespaces.~optional();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---- methods -------------------------------------------------------------

constexpr Param kAnyDataParams[] = {{"data", ParamKind::Any},
                                    {"threads", ParamKind::Any, false, true}};
constexpr Param kStrDataParams[] = {{"data", ParamKind::StrDoc},
                                    {"threads", ParamKind::Any, false, true}};
constexpr Param kBytesDataParams[] = {{"data", ParamKind::BytesDoc},
                                      {"threads", ParamKind::Any, false, true}};

struct MethodSignatures {
  Signature any;    // counts and keywords only
  Signature typed;  // and the type of data
};

constexpr MethodSignatures kGetSignatures{{"Path.get()", kAnyDataParams},
                                          {"Path.get()", kStrDataParams}};
constexpr MethodSignatures kGetBytesSignatures{{"Path.get_bytes()", kAnyDataParams},
                                               {"Path.get_bytes()", kBytesDataParams}};
constexpr MethodSignatures kGetBufferSignatures{{"Path.get_buffer()", kAnyDataParams},
                                                {"Path.get_buffer()", kAnyDataParams}};

// Binds the arguments, then checks the receiver, then the type of data.
// Returns the borrowed data object, or NULL with TypeError set.
PyObject* bind_method(PyObject* self, const MethodSignatures& signatures, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, unsigned& threads) noexcept {
  BoundArg bound[2];
  if (!bind_args(signatures.any, args, nargs, kwnames, bound)) return nullptr;
  if (!is_path(self)) {
    raise_not_instance(self, "Path");
    return nullptr;
  }
  if (!bind_args(signatures.typed, args, nargs, kwnames, bound)) return nullptr;
  if (!read_threads(bound[1].object, threads)) return nullptr;
  return bound[0].object;
}

// get and get_bytes: the document's own bytes, read in place; spans refer to it.
PyObject* Path_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    unsigned threads = 1;
    PyObject* given = bind_method(self, kGetSignatures, args, nargs, kwnames, threads);
    if (given == nullptr) return nullptr;
    return query_one(state_of(self), *as_path(self)->program, given, false, threads).release();
  });
}

PyObject* Path_get_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    unsigned threads = 1;
    PyObject* given = bind_method(self, kGetBytesSignatures, args, nargs, kwnames, threads);
    if (given == nullptr) return nullptr;
    return query_one(state_of(self), *as_path(self)->program, given, false, threads).release();
  });
}

PyObject* Path_get_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    unsigned threads = 1;
    PyObject* given = bind_method(self, kGetBufferSignatures, args, nargs, kwnames, threads);
    if (given == nullptr) return nullptr;
    return query_one(state_of(self), *as_path(self)->program, given, true, threads).release();
  });
}

// Returns a new reference to the path text as a str (always UTF-8: it came from one).
Ref path_text(PyObject* self) noexcept {
  const std::string& text = as_path(self)->path;
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Pickled (and copied) as compile(text) or compile(text, namespaces): the program is made
// again where it is loaded, in that thread's compile cache.
PyObject* Path_reduce(PyObject* self, PyObject*) noexcept {
  return call_guarded([&]() -> PyObject* {
    Ref module = Ref::steal(PyImport_ImportModule("varnex._varnex"));
    Ref compile = Ref::steal(module ? PyObject_GetAttrString(module.get(), "compile") : nullptr);
    Ref text = compile ? path_text(self) : Ref();
    if (!text) return nullptr;
    const auto& namespaces = as_path(self)->namespaces;
    if (!namespaces) return Py_BuildValue("O(O)", compile.get(), text.get());
    // The map is keyword-only: compile is called through a partial that gives it.
    Ref map = namespaces_dict(*namespaces);
    Ref functools = Ref::steal(map ? PyImport_ImportModule("functools") : nullptr);
    Ref partial =
        Ref::steal(functools ? PyObject_GetAttrString(functools.get(), "partial") : nullptr);
    Ref args = Ref::steal(partial ? PyTuple_Pack(1, compile.get()) : nullptr);
    Ref kwargs = Ref::steal(args ? Py_BuildValue("{sO}", "namespaces", map.get()) : nullptr);
    Ref bound =
        Ref::steal(kwargs ? PyObject_Call(partial.get(), args.get(), kwargs.get()) : nullptr);
    if (!bound) return nullptr;
    return Py_BuildValue("O(O)", bound.get(), text.get());
  });
}

// ---- slots ---------------------------------------------------------------

PyObject* Path_repr(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::string text = "Path(";
    text += quote_path_for_repr(as_path(self)->path);
    if (const auto& namespaces = as_path(self)->namespaces) {
      Ref map = namespaces_dict(*namespaces);
      Ref shown = Ref::steal(map ? PyObject_Repr(map.get()) : nullptr);
      Py_ssize_t size = 0;
      const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
      if (utf8 == nullptr) return nullptr;
      text.append(", namespaces=").append(utf8, static_cast<size_t>(size));
    }
    text += ')';
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  });
}

// Paths are equal when their texts are, byte for byte (as the compile cache
// compares them), and their maps, so a path still equals itself after a pickle round trip.
PyObject* Path_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if (!is_path(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const auto& a = as_path(self)->namespaces;
  const auto& b = as_path(other)->namespaces;
  const bool same_map = a.has_value() == b.has_value() && (!a || a->bindings() == b->bindings());
  const bool equal = as_path(self)->path == as_path(other)->path && same_map;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t Path_hash(PyObject* self) noexcept {
  const Ref text = path_text(self);
  return text ? PyObject_Hash(text.get()) : -1;
}

// ---- spec ----------------------------------------------------------------

PyMethodDef kPathMethods[] = {
    {"get", as_cfunction<Path_get>(), METH_FASTCALL | METH_KEYWORDS, doc::Path_get},
    {"get_bytes", as_cfunction<Path_get_bytes>(), METH_FASTCALL | METH_KEYWORDS,
     doc::Path_get_bytes},
    {"get_buffer", as_cfunction<Path_get_buffer>(), METH_FASTCALL | METH_KEYWORDS,
     doc::Path_get_buffer},
    {"__reduce__", Path_reduce, METH_NOARGS, doc::Path___reduce__},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kPathSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::Path)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Path_dealloc)},
    {Py_tp_methods, kPathMethods},
    {Py_tp_repr, reinterpret_cast<void*>(Path_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Path_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(Path_hash)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kPathSpec = {
    "varnex._varnex.Path",
    sizeof(PathObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kPathSlots,
};

namespace {

// ---- module function -----------------------------------------------------

constexpr Param kCompileParams[] = {{"path", ParamKind::Utf8},
                                    {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kCompileSignature{"compile()", kCompileParams};

PyObject* py_compile(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kCompileSignature, args, nargs, kwnames, bound)) return nullptr;
    PathArgs paths;
    if (!paths.read_namespaces(bound[1].object)) return nullptr;
    // No shortcut for "": compiling it reports the empty path.
    path::ProgramPtr program = paths.compile(bound[0].utf8);
    if (!program) return nullptr;
    return make_path(module_state(module), bound[0].utf8, std::move(program),
                     paths.take_namespaces())
        .release();
  });
}

}  // namespace

PyMethodDef kCompileDef = {"compile", as_cfunction<py_compile>(), METH_FASTCALL | METH_KEYWORDS,
                           doc::compile};

bool PathArgs::read_namespaces(PyObject* namespaces) {
  return python::read_namespaces(namespaces, namespaces_);
}

path::ProgramPtr PathArgs::compile(std::string_view text) const {
  return compile_path(text, namespaces());
}

path::ProgramPtr PathArgs::program_of(PyObject* path) const {
  if (is_path(path)) return as_path(path)->program;
  if (!PyUnicode_Check(path)) {
    raise(Message::BadPath);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(path, &size);
  if (data == nullptr) return nullptr;
  return compile(std::string_view(data, static_cast<size_t>(size)));
}

bool collect_programs(PyObject* list, std::vector<path::ProgramPtr>& out,
                      const path::NamespaceMap* namespaces) {
  out.clear();
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    Ref entry = Ref::borrow(PyList_GetItem(list, i));
    if (!entry) {
      out.clear();
      return false;
    }
    if (PyUnicode_Check(entry.get())) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(entry.get(), &size);
      if (data != nullptr) {
        const std::string_view text(data, static_cast<size_t>(size));
        if (text.empty()) {
          out.emplace_back();
          continue;
        }
        path::ProgramPtr program = compile_path(text, namespaces);
        if (!program) {
          out.clear();
          return false;
        }
        out.push_back(std::move(program));
        continue;
      }
      PyErr_Clear();  // no UTF-8 form: reported as a bad entry
    } else if (is_path(entry.get())) {
      out.push_back(as_path(entry.get())->program);
      continue;
    }
    out.clear();
    raise(Message::BadPathsEntry);
    return false;
  }
  return true;
}

}  // namespace varnex::python
