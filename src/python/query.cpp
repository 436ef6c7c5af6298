// One program over one document: compile, run, lift, map errors.
#include "python/query.hpp"

#include <cstdint>
#include <limits>
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

constexpr const char* kBadNamespaces = "namespaces must be a mapping of str prefixes to str URIs";

// The UTF-8 form of a str (borrowed from it), or nothing with TypeError set.
std::optional<std::string_view> utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    PyErr_SetString(PyExc_TypeError, kBadNamespaces);
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
    PyErr_SetString(PyExc_TypeError, kBadNamespaces);
    return false;
  }
  Ref items = Ref::steal(PyMapping_Items(namespaces));
  if (!items) {
    // A sequence passes the mapping check but has no items(): the caller's mistake, named.
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, kBadNamespaces);
    }
    return false;
  }
  path::NamespaceMap map;
  for (Py_ssize_t i = 0, n = PyList_Size(items.get()); i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed
    if (pair == nullptr || !PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, kBadNamespaces);
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

Ref run_over_source(const path::Program& program, PyObject* source, const SourceBytes& doc,
                    unsigned threads) {
  // Offsets are 32-bit: a larger document has its matches copied instead.
  const std::string_view bytes = doc.bytes();
  const bool capture_spans =
      !doc.is_copy() && bytes.size() <= std::numeric_limits<uint32_t>::max();
  engine::Items items;
  std::optional<engine::EngineError> error;
  {
    const UnlockedPass unlocked(doc.is_immutable(), bytes.size());
    error = engine::run_with(program, bytes, capture_spans, items, threads);
  }
  if (error) {
    engine_err_to_py(*error);
    return {};
  }
  return make_result(PyItems::lift(std::move(items), capture_spans ? source : nullptr, bytes));
}

Ref run_over_borrowed(const path::Program& program, SourceBytes& bytes, unsigned threads) {
  engine::Items items;
  std::optional<engine::EngineError> error;
  {
    const UnlockedPass unlocked(bytes.is_immutable(), bytes.bytes().size());
    error = engine::run_with(program, bytes.bytes(), false, items, threads);
  }
  PyItems lifted;
  if (!error) lifted = PyItems::lift(std::move(items), nullptr, bytes.bytes());
  bytes.release();
  if (error) {
    engine_err_to_py(*error);
    return {};
  }
  return make_result(std::move(lifted));
}

Ref run_over_document(const path::Program& program, PyObject* given, unsigned threads) {
  const Ref data = open_document(given);
  if (!data) return {};
  SourceBytes doc;
  if (!doc.acquire(data.get()) || !doc.decode_document()) return {};
  return run_over_source(program, data.get(), doc, threads);
}

Ref run_over_buffer(const path::Program& program, PyObject* given, unsigned threads) {
  const Ref data = open_document(given);
  if (!data) return {};
  SourceBytes buffer;
  if (!buffer.acquire_buffer(data.get()) || !buffer.decode_document()) return {};
  return run_over_borrowed(program, buffer, threads);
}

Ref empty_result() noexcept { return make_result(PyItems{}); }

}  // namespace varnex::python
