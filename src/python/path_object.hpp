// The Path class (compiled paths), compile(), and reading path arguments into programs.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "path/namespaces.hpp"
#include "path/program.hpp"
#include "python/ref.hpp"

namespace varnex::python {

extern PyMethodDef kCompileDef;

// The Path class's description; module.cpp makes each module instance's class.
extern PyType_Spec kPathSpec;

// How one call reads its path arguments: with the prefixes of its `namespaces=` argument.
class PathArgs {
 public:
  // Reads `namespaces` (borrowed; null when not given): None gives no prefixes, a mapping of
  // str to str its own. False with TypeError set for anything else.
  [[nodiscard]] bool read_namespaces(PyObject* namespaces);

  // The prefixes given, or null.
  [[nodiscard]] const path::NamespaceMap* namespaces() const noexcept {
    return namespaces_ ? &*namespaces_ : nullptr;
  }

  // `text` compiled with the prefixes; null with ValueError set.
  [[nodiscard]] path::ProgramPtr compile(std::string_view text) const;

  // A str compiled with the prefixes, or a Path as it was compiled (with its own); null with
  // ValueError (a path error), the str's UnicodeEncodeError, or TypeError set.
  [[nodiscard]] path::ProgramPtr program_of(PyObject* path) const;

  // The prefixes, handed over (a Path keeps those it was compiled with).
  [[nodiscard]] std::optional<path::NamespaceMap> take_namespaces() noexcept {
    return std::move(namespaces_);
  }

 private:
  std::optional<path::NamespaceMap> namespaces_;
};

// One entry per element of `list` (a list, borrowed): its program, or null
// for an empty string. False with ValueError (a path error) or TypeError set;
// `out` is then empty.
// A str entry is read with `namespaces` when given; a Path keeps the map it was compiled with.
[[nodiscard]] bool collect_programs(PyObject* list, std::vector<path::ProgramPtr>& out,
                                    const path::NamespaceMap* namespaces = nullptr);

}  // namespace varnex::python
