// Compiling paths and running one program, shared by every query entry point.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "path/namespaces.hpp"
#include "path/program.hpp"
#include "python/py_item.hpp"
#include "python/ref.hpp"
#include "python/source.hpp"

namespace varnex::python {

// The per-thread cached program for `path`, read with the prefix map `namespaces` when there is
// one; empty with ValueError set when the path does not compile.
[[nodiscard]] path::ProgramPtr compile_path(std::string_view path,
                                            const path::NamespaceMap* namespaces = nullptr);

// The `namespaces=` argument (borrowed; null when not given): None leaves `out` empty, a
// mapping of str to str fills it. False with TypeError set for anything else.
[[nodiscard]] bool read_namespaces(PyObject* namespaces, std::optional<path::NamespaceMap>& out);

// A Python dict of `map`, a new reference (NULL with an exception set).
[[nodiscard]] Ref namespaces_dict(const path::NamespaceMap& map);

// The road of every query (acquire -> decode -> unlock -> run -> lift -> map errors), in
// two halves around the moment the caller lets go of the bytes.

// What a pass reads: the bytes, whether no Python code can change them while the lock is
// released, and the object its spans refer to (none: the matches are copied).
struct PassInput {
  std::string_view bytes;
  bool immutable = false;
  SpanOrigin origin;
};

// Runs `programs` over `input` with the lock released (spans when `input` has an origin) and
// lifts what each found into `lifted` (as many as `programs`). Returns the error, not yet
// raised.
[[nodiscard]] std::optional<engine::EngineError> run_pass(
    std::span<const path::Program* const> programs, const PassInput& input,
    engine::RunOptions options, std::span<PyItems> lifted);

// False with `error` raised, if there is one: called once the bytes are let go of, so that no
// held buffer outlives the pass while the exception is made.
[[nodiscard]] bool settle(const std::optional<engine::EngineError>& error) noexcept;

// The whole road over the document `given` (open_document): read in place in the encoding it
// announces, or with `buffer` borrowed as a buffer for the pass only and its matches copied.
// False with an exception set. `state` is the module's (a file's map is of its class).
[[nodiscard]] bool query_document(const ModuleState& state, PyObject* given, bool buffer,
                                  std::span<const path::Program* const> programs,
                                  engine::RunOptions options, std::span<PyItems> lifted);

// The whole road over item `i` of a Result, an element item: the whole document (the paths
// start at its root) or one element (at its attributes and children).
[[nodiscard]] bool query_item(const PyItems& items, size_t i,
                              std::span<const path::Program* const> programs, bool as_set,
                              std::span<PyItems> lifted);

// query_document for one program, as a new Result reference (NULL with an exception set):
// get, get_bytes, get_buffer and their Path methods. The Result is of `state`'s class.
[[nodiscard]] Ref query_one(const ModuleState& state, const path::Program& program, PyObject* given,
                            bool buffer, unsigned threads = 1);

// Returns a new reference to a Result of `result_class` with no items.
[[nodiscard]] Ref empty_result(PyTypeObject* result_class) noexcept;

}  // namespace varnex::python
