// Compiling paths and running one program, shared by every query entry point.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "path/namespaces.hpp"
#include "path/program.hpp"
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

// Runs `program` over `doc`, the bytes of `source` (borrowed; the Result's
// spans take their own references, unless `doc` is a decoded copy, whose
// matches are copied). Returns a new Result reference, or NULL with an
// exception set.
// `threads` as run_with takes them.
[[nodiscard]] Ref run_over_source(const path::Program& program, PyObject* source,
                                  const SourceBytes& doc, unsigned threads = 1);

// Runs `program` over borrowed bytes; element matches are copied and `bytes`
// is released before the outcome is turned into a Result or an exception.
[[nodiscard]] Ref run_over_borrowed(const path::Program& program, SourceBytes& bytes,
                                    unsigned threads = 1);

// Opens `given` (open_document), reads it in place in the encoding it announces
// and runs `program` over it: get, get_bytes and their Path methods.
[[nodiscard]] Ref run_over_document(const path::Program& program, PyObject* given,
                                    unsigned threads = 1);

// Opens `given` as a buffer, borrowed for the pass only: get_buffer and its Path method.
[[nodiscard]] Ref run_over_buffer(const path::Program& program, PyObject* given,
                                  unsigned threads = 1);

// Returns a new reference to a Result with no items.
[[nodiscard]] Ref empty_result() noexcept;

}  // namespace varnex::python
