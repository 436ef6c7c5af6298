// Turning the core's error values (and C++ exceptions) into Python exceptions.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "engine/check.hpp"
#include "engine/item.hpp"
#include "path/compiler.hpp"
#include "python/mapped_reads.hpp"
#include "python/messages.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// Sets ValueError for an ambiguous step.
void engine_err_to_py(const engine::EngineError& error) noexcept;

// Sets ValueError: the error's text, the quoted path and a caret when one applies.
void raise_path_error(const path::ParseError& error, std::string_view path) noexcept;

// The path as a quoted string, escaped exactly as path errors quote it.
[[nodiscard]] std::string quote_path_for_repr(std::string_view path);

// Makes the class varnex.XMLSyntaxError (a ValueError subclass) for the module being started.
// Returns a new reference, or an empty Ref with an exception set.
[[nodiscard]] Ref create_syntax_error_type(PyObject* module) noexcept;

// Sets `state`'s XMLSyntaxError for a failed strict check. `is_str`: the document was a str,
// whose offsets count characters.
void raise_syntax_error(const ModuleState& state, const engine::CheckReport& report,
                        bool is_str) noexcept;

// Sets an exception for a C++ exception that reached the boundary.
void raise_from_cpp_exception() noexcept;

// Runs `body` (returning PyObject* or int) so that no C++ exception escapes:
// bad_alloc becomes MemoryError, anything else SystemError. A mapped file that lost pages
// while `body` read them makes the call fail with OSError(Message::FileChanged).
template <class Body>
auto call_guarded(Body&& body) noexcept -> decltype(body()) {
  using Returned = decltype(body());
  constexpr auto failed = [] {
    if constexpr (std::is_pointer_v<Returned>) {
      return static_cast<Returned>(nullptr);
    } else {
      return static_cast<Returned>(-1);
    }
  };
  const ReadScope reads;
  Returned result;
  try {
    result = body();
  } catch (...) {
    raise_from_cpp_exception();
    result = failed();
  }
  if (reads.faulted()) [[unlikely]] {
    // What the body made of the missing pages was made of zeros.
    if constexpr (std::is_pointer_v<Returned>) Py_XDECREF(result);
    raise(Message::FileChanged);
    result = failed();
  }
  return result;
}

}  // namespace varnex::python
