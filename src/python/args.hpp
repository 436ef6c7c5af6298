// The one argument binder behind every function and method of the module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace varnex::python {

enum class ParamKind : uint8_t {
  Any,       // any object
  Str,       // str or a subclass, not encoded
  Utf8,      // str or a subclass, with its UTF-8 form
  Bytes,     // bytes or a subclass
  StrDoc,    // a Str, or an os.PathLike naming a file (the messages name 'str')
  BytesDoc,  // a Bytes, or an os.PathLike naming a file (the messages name 'bytes')
  Flag,      // any object, read for its truth value
};

struct Param {
  const char* name;
  ParamKind kind;
  bool required = true;       // optional ones come last
  bool keyword_only = false;  // optional, after every positional one
};

// Every parameter is positional-or-keyword, but those marked keyword-only.
struct Signature {
  const char* display;  // "get()" or "Result.get()", as the messages name it
  std::span<const Param> params;
};

inline constexpr size_t kMaxParams = 4;

struct BoundArg {
  PyObject* object = nullptr;  // borrowed from the caller's argument vector
  std::string_view utf8;       // Utf8 parameters: valid while `object` lives
  bool flag = false;           // Flag parameters: the truth value, false when not given
};

// Binds a fast-call argument vector (METH_FASTCALL | METH_KEYWORDS) to
// `signature`, filling out[0..params). Returns false with TypeError set (or
// the conversion's own error, e.g. UnicodeEncodeError, unchanged).
[[nodiscard]] bool bind_args(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, BoundArg* out) noexcept;

// The `threads=` argument (borrowed; null when not given): None or absent is 1, an int of 0
// or more is itself (0: one thread per core). False with TypeError or ValueError set.
[[nodiscard]] bool read_threads(PyObject* threads, unsigned& out) noexcept;

// A fast-call function (METH_FASTCALL | METH_KEYWORDS) as the PyCFunction a PyMethodDef holds.
template <auto Fn>
PyCFunction as_cfunction() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

}  // namespace varnex::python
