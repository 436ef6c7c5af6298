// Every text the binding raises, worded in one place (messages.cpp), and the helpers that raise
// them: tests and docs quote these texts, so each exists once.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "python/ref.hpp"
#include "xml/encoding.hpp"

namespace varnex::python {

// A fixed text, raised as the exception class the table gives it.
enum class Message : uint8_t {
  // documents and buffers
  DataNotBuffer,
  DataNotSource,
  StrNamesFile,
  BufferNotContiguous,
  FileChanged,
  // paths and namespaces
  BadPath,
  BadPathsEntry,
  BadNamespaces,
  // Result
  IndexOutOfRange,
  BadIndexType,
  SliceOnDict,
  GetOnMulti,
  GetManyOnMulti,
  ResultNotPicklable,
  ChildOutsideParent,
  AlreadyBorrowed,
  AlreadyMutablyBorrowed,
  // tables and streams
  BadSpec,
  FieldNamesNotStr,
  PlanNotCapsule,
  StreamNotCapsule,
  BatchTooSmall,
  StreamBusy,
  StreamEnded,
  RecordTruncated,
  ColumnTooLarge,
  OffsetLimit,
  WindowNegative,
  IndexPathName,
  // helpers of the Python side
  ElementDictArgument,
  ToStrLossyArgument,
  ElementNameArgument,
  RunStepsCount,
  // the process
  ForkHandler,
  UnexpectedCppException,
};

// Sets the exception `message` stands for.
void raise(Message message) noexcept;

// ---- arguments ----------------------------------------------------------------------------

// TypeError "'<type>' object is not an instance of '<expected>'" ("'None' is not ..." for
// None), after "argument '<argument>': " when `argument` is given.
void raise_not_instance(PyObject* value, const char* expected,
                        const char* argument = nullptr) noexcept;

// TypeError: `display` took more positional arguments than its `nparams`, of which
// `nrequired` are required.
void raise_too_many_positional(const char* display, Py_ssize_t nrequired, Py_ssize_t nparams,
                               Py_ssize_t nargs) noexcept;

// TypeError naming the required arguments `missing` of `display` that were not given.
void raise_missing_positional(const char* display, std::span<const char* const> missing);

// TypeError: `display` has no parameter `keyword`.
void raise_unexpected_keyword(const char* display, PyObject* keyword) noexcept;

// TypeError: argument `name` of `display` was given both by position and by keyword.
void raise_multiple_values(const char* display, const char* name) noexcept;

// Puts "argument '<name>': " before the message of the TypeError being raised; other
// exceptions are left as they are.
void name_the_argument(const char* name) noexcept;

// TypeError or ValueError for a `threads=` that is not an int, or is negative.
void raise_threads_not_int(PyObject* threads) noexcept;
void raise_threads_negative(long long threads) noexcept;

// ---- Result -------------------------------------------------------------------------------

// TypeError: a string key on a Result that is `mode`, not dict-like.
void raise_string_key_mode(const char* mode) noexcept;

// TypeError: method `display` needs a dict-like Result; this one is `mode`.
void raise_needs_dict_like(const char* display, const char* mode) noexcept;

// ValueError for text that is not UTF-8.
void raise_utf8_error(const xml::Utf8Error& error) noexcept;

// ---- documents ----------------------------------------------------------------------------

// ValueError: the file named `shown` cannot be mapped (a pipe, a device).
void raise_not_regular_file(PyObject* shown) noexcept;

// ValueError: bytes that are not UTF-8 declare encoding `name`, which no codec reads.
void raise_unknown_encoding(const std::string& name) noexcept;
// Its text, for an error raised later (a new reference, or NULL with an exception set).
[[nodiscard]] PyObject* unknown_encoding_text(const std::string& name) noexcept;

// ValueError: a step named `name` matched several elements and the path goes on.
void raise_ambiguous(std::string_view name) noexcept;

// The text of an XMLSyntaxError: `message` and where.
[[nodiscard]] std::string syntax_error_text(const std::string& message, size_t line, size_t column,
                                            const std::string& path);

// ValueError with a text the core worded, its bytes that are not UTF-8 replaced.
void raise_value_error(std::string_view text) noexcept;

// SystemError with a C++ exception's own text.
void raise_system_error(const char* what) noexcept;

// ---- tables -------------------------------------------------------------------------------

// ValueError: `record_path` does not select elements.
void raise_not_elements(PyObject* record_path) noexcept;

// ValueError: field `name`'s `format` did not compile, for `reason`.
void raise_bad_format(PyObject* name, const std::string& reason, PyObject* format) noexcept;

// ValueError: `count` matches of a one-value field in one record.
void raise_repeated(size_t count) noexcept;

// ValueError: `text` (its repr) is not a valid `type_name`.
void raise_invalid_value(PyObject* text, const char* type_name) noexcept;

// The prefix that names whose path failed: "record_path", or "field <name!r>" for a field.
// A new reference, NULL with an exception set.
[[nodiscard]] Ref path_owner_text(PyObject* field) noexcept;

// Where a record is: "record <index> (byte <byte>, line <line>)", after "field <name!r> of "
// for a field. A new reference, NULL with an exception set.
[[nodiscard]] Ref record_place_text(PyObject* field, size_t index, size_t byte, size_t line);

// Puts "<prefix>: " before the message of the ValueError or TypeError being raised, keeping
// its cause and traceback; other exceptions (subclasses too) are left as they are.
void prefix_error(PyObject* prefix) noexcept;

}  // namespace varnex::python
