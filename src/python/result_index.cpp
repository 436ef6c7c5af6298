// Result navigation: r[int], r[slice], r["name"] and Result.get(path).
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/query.hpp"
#include "python/result.hpp"
#include "python/unlocked.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

// The ScalarLike text as code points; nothing with ValueError set when it is
// not UTF-8.
const CodePoints* scalar_points(PyObject* self, const ElementBytes& element) {
  const IndexedText& text = scalar_text(self, element);
  if (text.error) {
    raise_utf8_error(*text.error);
    return nullptr;
  }
  return &*text.points;
}

// Returns a new reference to a Result holding the `count` items of Result `self` at start,
// start + step, ...
Ref pick_items(PyObject* self, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) {
  const PyItems& items = result_items(self);
  return make_result(Py_TYPE(self),
                     items.pick(static_cast<size_t>(start), step, static_cast<size_t>(count)));
}

// r["name"]: every direct child of that exact name, or KeyError(key).
PyObject* string_key(PyObject* self, Mode mode, const ElementBytes& element, PyObject* key) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) return nullptr;
  if (mode != Mode::DictElement) {
    raise_string_key_mode(mode_name(mode));
    return nullptr;
  }
  std::unique_ptr<ChildIndex> scratch;
  const ChildIndex& index = child_index(self, element, scratch);
  const auto group = index.find(std::string_view(data, static_cast<size_t>(size)));
  if (!group) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return group_result(Py_TYPE(self), element.bytes(), index.children, index.groups, *group,
                      element.origin())
      .release();
}

PyObject* slice_key(PyObject* self, Mode mode, const ElementBytes& element, PyObject* key) {
  if (mode == Mode::DictElement) {
    raise(Message::SliceOnDict);
    return nullptr;
  }
  Py_ssize_t start = 0;
  Py_ssize_t stop = 0;
  Py_ssize_t step = 0;
  if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
  if (mode == Mode::Empty) return empty_result(Py_TYPE(self)).release();
  const PyItems& items = result_items(self);
  if (mode == Mode::Multi) {
    const Py_ssize_t count =
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(items.size()), &start, &stop, step);
    return pick_items(self, start, step, count).release();
  }
  const CodePoints* points = scalar_points(self, element);
  if (points == nullptr) return nullptr;
  const Py_ssize_t count =
      PySlice_AdjustIndices(static_cast<Py_ssize_t>(points->size()), &start, &stop, step);
  const std::string picked =
      points->pick(static_cast<size_t>(start), step, static_cast<size_t>(count));
  return PyUnicode_FromStringAndSize(picked.data(), static_cast<Py_ssize_t>(picked.size()));
}

// Maps a possibly negative index onto [0, length); nothing when outside.
std::optional<size_t> resolve_index(long index, size_t length) noexcept {
  // length is far below 2**63, so neither sum can overflow.
  const long long position =
      index < 0 ? static_cast<long long>(index) + static_cast<long long>(length) : index;
  if (position < 0 || static_cast<unsigned long long>(position) >= length) return std::nullopt;
  return static_cast<size_t>(position);
}

PyObject* integer_key(PyObject* self, Mode mode, const ElementBytes& element, PyObject* key) {
  const Ref number = Ref::steal(PyNumber_Index(key));
  if (!number) {
    // Not an index: our TypeError. Anything else that __index__ raised (an
    // interrupt, MemoryError) is not ours to hide.
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError) ||
        PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      raise(Message::BadIndexType);
    }
    return nullptr;
  }
  if (mode == Mode::DictElement) {
    PyErr_SetObject(PyExc_KeyError, number.get());
    return nullptr;
  }
  long index = PyLong_AsLong(number.get());
  if (index == -1 && PyErr_Occurred()) {
    // An integer beyond a long is beyond every Result too.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
    PyErr_Clear();
    index = std::numeric_limits<long>::max();
  }
  const PyItems& items = result_items(self);
  switch (mode) {
    case Mode::Empty:
    case Mode::DictElement: break;
    case Mode::Multi:
      if (const auto position = resolve_index(index, items.size())) {
        return make_result(Py_TYPE(self), items.one(*position)).release();
      }
      break;
    case Mode::ScalarLike: {
      const CodePoints* points = scalar_points(self, element);
      if (points == nullptr) return nullptr;
      const auto position = resolve_index(index, points->size());
      if (!position) break;
      const std::string_view ch = points->at(*position);
      return PyUnicode_FromStringAndSize(ch.data(), static_cast<Py_ssize_t>(ch.size()));
    }
  }
  raise(Message::IndexOutOfRange);
  return nullptr;
}

// Runs `program` over the bytes of element item `i`; returns a new Result reference.
PyObject* get_within(PyObject* self, const path::Program& program, size_t i) {
  const path::Program* const programs[] = {&program};
  PyItems lifted[1];
  if (!query_item(result_items(self), i, programs, false, lifted)) return nullptr;
  return make_result(Py_TYPE(self), std::move(lifted[0])).release();
}

constexpr Param kGetParams[] = {{"path", ParamKind::Utf8},
                                {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kGetSignature{"Result.get()", kGetParams};

}  // namespace

PyObject* Result_subscript(PyObject* self, PyObject* key) noexcept {
  return call_guarded([&]() -> PyObject* {
    ElementBytes element;
    // A kept text means ScalarLike: a long text is then not scanned again.
    const auto kept = kept_scalar_text(self, element);
    if (!kept) return nullptr;
    const auto mode = *kept ? Mode::ScalarLike : compute_mode(result_items(self), element);
    if (!mode) return nullptr;
    if (PyUnicode_Check(key)) return string_key(self, *mode, element, key);
    if (PySlice_Check(key)) return slice_key(self, *mode, element, key);
    return integer_key(self, *mode, element, key);
  });
}

PyObject* Result_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kGetSignature, args, nargs, kwnames, bound)) return nullptr;
    std::optional<path::NamespaceMap> namespaces;
    if (!read_namespaces(bound[1].object, namespaces)) return nullptr;
    const PyItems& items = result_items(self);
    if (items.size() > 1) {
      raise(Message::GetOnMulti);
      return nullptr;
    }
    const std::string_view path_text = bound[0].utf8;
    if (path_text.empty()) return empty_result(Py_TYPE(self)).release();
    const path::ProgramPtr program = compile_path(path_text, namespaces ? &*namespaces : nullptr);
    if (!program) return nullptr;
    if (items.empty() || items.is_text(0)) return empty_result(Py_TYPE(self)).release();
    return get_within(self, *program, 0);
  });
}

}  // namespace varnex::python
