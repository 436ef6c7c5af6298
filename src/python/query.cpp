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

path::ProgramPtr compile_path(std::string_view path) {
  auto compiled = path::compile_cached(path);
  if (auto* error = std::get_if<path::ParseError>(&compiled)) {
    raise_path_error(*error, path);
    return nullptr;
  }
  return std::get<path::ProgramPtr>(std::move(compiled));
}

Ref run_over_source(const path::Program& program, PyObject* source, const SourceBytes& doc) {
  // Offsets are 32-bit: a larger document has its matches copied instead.
  const std::string_view bytes = doc.bytes();
  const bool capture_spans =
      !doc.is_copy() && bytes.size() <= std::numeric_limits<uint32_t>::max();
  engine::Items items;
  std::optional<engine::EngineError> error;
  {
    const UnlockedPass unlocked(doc.is_immutable(), bytes.size());
    error = engine::run_with(program, bytes, capture_spans, items);
  }
  if (error) {
    engine_err_to_py(*error);
    return {};
  }
  return make_result(PyItems::lift(std::move(items), capture_spans ? source : nullptr, bytes));
}

Ref run_over_borrowed(const path::Program& program, SourceBytes& bytes) {
  engine::Items items;
  std::optional<engine::EngineError> error;
  {
    const UnlockedPass unlocked(bytes.is_immutable(), bytes.bytes().size());
    error = engine::run_with(program, bytes.bytes(), false, items);
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

Ref empty_result() noexcept { return make_result(PyItems{}); }

}  // namespace varnex::python
