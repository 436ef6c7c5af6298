// Compiling paths, and the one road of every query: acquire, decode, unlock, run, lift, map errors.
#include "python/query.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <variant>

#include "engine/engine.hpp"
#include "path/cache.hpp"
#include "python/errors.hpp"
#include "python/py_item.hpp"
#include "python/result.hpp"
#include "python/unlocked.hpp"

namespace varnex::python {

namespace {

// The UTF-8 form of a str (borrowed from it), or nothing with TypeError set.
std::optional<std::string_view> utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise(Message::BadNamespaces);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

}  // namespace

bool read_namespaces(PyObject* namespaces, std::optional<path::NamespaceMap>& out) {
  out.reset();
  if (namespaces == nullptr || namespaces == Py_None) return true;
  if (!PyMapping_Check(namespaces) || PyUnicode_Check(namespaces)) {
    raise(Message::BadNamespaces);
    return false;
  }
  Ref items = Ref::steal(PyMapping_Items(namespaces));
  if (!items) {
    // A sequence passes the mapping check but has no items(): the caller's mistake, named.
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise(Message::BadNamespaces);
    }
    return false;
  }
  path::NamespaceMap map;
  for (Py_ssize_t i = 0, n = PyList_Size(items.get()); i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed
    if (pair == nullptr || !PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      raise(Message::BadNamespaces);
      return false;
    }
    const auto prefix = utf8_of(PyTuple_GetItem(pair, 0));
    if (!prefix) return false;
    const auto uri = utf8_of(PyTuple_GetItem(pair, 1));
    if (!uri) return false;
    map.bind(*prefix, *uri);
  }
  out = std::move(map);
  return true;
}

Ref namespaces_dict(const path::NamespaceMap& map) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [prefix, uri] : map.bindings()) {
    Ref key = Ref::steal(
        PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size())));
    Ref value =
        Ref::steal(PyUnicode_FromStringAndSize(uri.data(), static_cast<Py_ssize_t>(uri.size())));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

path::ProgramPtr compile_path(std::string_view path, const path::NamespaceMap* namespaces) {
  auto compiled =
      namespaces != nullptr ? path::compile_cached(path, *namespaces) : path::compile_cached(path);
  if (auto* error = std::get_if<path::ParseError>(&compiled)) {
    raise_path_error(*error, path);
    return nullptr;
  }
  return std::get<path::ProgramPtr>(std::move(compiled));
}

std::optional<engine::EngineError> run_pass(std::span<const path::Program* const> programs,
                                            const PassInput& input, engine::RunOptions options,
                                            std::span<PyItems> lifted) {
  // One path's sequence needs no vector.
  engine::Items one;
  std::vector<engine::Items> many(programs.size() == 1 ? 0 : programs.size());
  const std::span<engine::Items> results = programs.size() == 1 ? std::span(&one, 1) : many;
  options.capture_spans = input.origin.keeps_spans();
  std::optional<engine::EngineError> error;
  {
    const UnlockedPass unlocked(input.immutable, input.bytes.size());
    error = engine::run(programs, input.bytes, options, results);
  }
  // Copies are made while the bytes (maybe a buffer view) are still held.
  if (error) return error;
  for (size_t i = 0; i < results.size(); ++i) {
    lifted[i] = PyItems::lift(std::move(results[i]), input.origin, input.bytes);
  }
  return error;
}

bool settle(const std::optional<engine::EngineError>& error) noexcept {
  if (error) engine_err_to_py(*error);
  return !error;
}

bool query_document(const ModuleState& state, PyObject* given, bool buffer,
                    std::span<const path::Program* const> programs, engine::RunOptions options,
                    std::span<PyItems> lifted) {
  const Ref data = open_document(state, given);
  if (!data) return false;
  SourceBytes doc(state);
  const bool acquired = buffer ? doc.acquire_buffer(data.get()) : doc.acquire(data.get());
  if (!acquired || !doc.decode_document()) return false;
  // Spans only where the Result may keep the document: a bytes, str or file read in place,
  // whose bytes no Python code changes.
  const std::string_view bytes = doc.bytes();
  const SpanOrigin origin = SpanOrigin::of(data.get(), bytes, !buffer && !doc.is_copy(), bytes);
  const auto error =
      run_pass(programs, PassInput{bytes, doc.is_immutable(), origin}, options, lifted);
  doc.release();
  return settle(error);
}

bool query_item(const PyItems& items, size_t i, std::span<const path::Program* const> programs,
                bool as_set, std::span<PyItems> lifted) {
  std::optional<engine::EngineError> error;
  {
    ElementBytes element;
    if (!element.load(items, i)) return false;
    engine::RunOptions options;
    options.as_set = as_set;
    std::vector<engine::Binding> outer;
    if (items.kind(i) != ItemKind::Whole) {
      options.scope = engine::RunOptions::Scope::Element;
      const bool scoped = std::ranges::any_of(
          programs, [](const path::Program* p) { return p != nullptr && p->scoped; });
      if (scoped) outer = element.outer_declarations();
      options.outer = outer;
    }
    // Spans where the bytes lie in a bytes or str for good, else copies.
    error = run_pass(programs, PassInput{element.bytes(), element.is_immutable(), element.origin()},
                     options, lifted);
  }
  return settle(error);
}

Ref query_one(const ModuleState& state, const path::Program& program, PyObject* given, bool buffer,
              unsigned threads) {
  const path::Program* const programs[] = {&program};
  engine::RunOptions options;
  options.threads = threads;
  PyItems lifted[1];
  if (!query_document(state, given, buffer, programs, options, lifted)) return {};
  return make_result(state.type(Class::Result), std::move(lifted[0]));
}

Ref empty_result(PyTypeObject* result_class) noexcept {
  return make_result(result_class, PyItems{});
}

}  // namespace varnex::python
