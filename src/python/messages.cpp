// The binding's error texts: the only file that words an exception.
#include "python/messages.hpp"

namespace varnex::python {
namespace {

enum class Kind : uint8_t { Type, Value, Index, Key, OS, Runtime, System };

struct Entry {
  Kind kind;
  const char* text;
};

constexpr Entry entry(Message message) noexcept {
  switch (message) {
    case Message::DataNotBuffer:
      return {Kind::Value, "data must be a buffer-protocol object (mmap, bytearray, memoryview)"};
    case Message::DataNotSource:
      return {Kind::Value,
              "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"};
    case Message::StrNamesFile:
      return {Kind::Value,
              "data is a str without markup; it names a file: pass pathlib.Path(...) or "
              "open(...).read()"};
    case Message::BufferNotContiguous: return {Kind::Value, "buffer must be C-contiguous"};
    case Message::FileChanged: return {Kind::OS, "the file changed while it was read"};
    case Message::BadPath: return {Kind::Type, "path must be str or varnex.Path"};
    case Message::BadPathsEntry: return {Kind::Type, "paths must be a list of str or varnex.Path"};
    case Message::BadNamespaces:
      return {Kind::Type, "namespaces must be a mapping of str prefixes to str URIs"};
    case Message::IndexOutOfRange: return {Kind::Index, "Result index out of range"};
    case Message::BadIndexType:
      return {Kind::Type, "Result indices must be integers, slices, or strings"};
    case Message::SliceOnDict:
      return {Kind::Key, "slice keys are not supported on dict-like Result"};
    case Message::GetOnMulti:
      return {Kind::Value,
              "Result.get(path) is not supported on a multi-element Result; iterate the Result "
              "or pick an index first"};
    case Message::GetManyOnMulti:
      return {Kind::Value,
              "Result.get_many(paths) is not supported on a multi-element Result; iterate the "
              "Result or pick an index first"};
    case Message::ResultNotPicklable:
      return {Kind::Type,
              "cannot pickle 'varnex.Result' object: it refers to the document it was read "
              "from; pickle plain values instead (to_str(), value, or to_str_list() for every "
              "item)"};
    case Message::ChildOutsideParent: return {Kind::System, "child outside its parent's bytes"};
    case Message::AlreadyBorrowed: return {Kind::Runtime, "Already borrowed"};
    case Message::AlreadyMutablyBorrowed: return {Kind::Runtime, "Already mutably borrowed"};
    case Message::BadSpec:
      return {Kind::Type, "_compile_plan(): a field is not a tuple varnex._fields made"};
    case Message::FieldNamesNotStr: return {Kind::Type, "field names must be str"};
    case Message::PlanNotCapsule:
      return {Kind::Type, "plan must be a capsule made by _compile_plan()"};
    case Message::StreamNotCapsule:
      return {Kind::Type, "stream must be a capsule made by _stream_open()"};
    case Message::BatchTooSmall:
      return {Kind::Value, "batch_rows and batch_bytes must be at least 1"};
    case Message::StreamBusy: return {Kind::Runtime, "the stream is being read by another call"};
    case Message::StreamEnded: return {Kind::Value, "the stream has ended"};
    case Message::RecordTruncated: return {Kind::Value, "the document ends inside the record"};
    case Message::ColumnTooLarge:
      return {Kind::Value,
              "the record's texts pass 2 GiB in one column: give its field the type "
              "large_string"};
    case Message::OffsetLimit: return {Kind::Value, "the limit is 1 to 2**31 - 1"};
    case Message::WindowNegative: return {Kind::Value, "the window is at least 0 bytes"};
    case Message::IndexPathName:
      return {Kind::Value, "the classifiers are 'portable', 'sse2', 'avx2' and 'avx512'"};
    case Message::ElementDictArgument:
      return {Kind::Type, "_element_dict() takes a Result of one element"};
    case Message::ToStrLossyArgument: return {Kind::Type, "_to_str_lossy() takes a Result"};
    case Message::ElementNameArgument: return {Kind::Type, "_element_name() takes a Result"};
    case Message::RunStepsCount:
      return {Kind::Value, "_run_steps(): count is not a number of steps"};
    case Message::ForkHandler: return {Kind::Runtime, "cannot register a fork handler"};
    case Message::UnexpectedCppException: return {Kind::System, "unexpected C++ exception"};
  }
  return {Kind::System, "unexpected C++ exception"};
}

PyObject* exception_class(Kind kind) noexcept {
  switch (kind) {
    case Kind::Type: return PyExc_TypeError;
    case Kind::Value: return PyExc_ValueError;
    case Kind::Index: return PyExc_IndexError;
    case Kind::Key: return PyExc_KeyError;
    case Kind::OS: return PyExc_OSError;
    case Kind::Runtime: return PyExc_RuntimeError;
    case Kind::System: return PyExc_SystemError;
  }
  return PyExc_SystemError;
}

}  // namespace

void raise(Message message) noexcept {
  const Entry found = entry(message);
  PyErr_SetString(exception_class(found.kind), found.text);
}

// ---- arguments ----------------------------------------------------------------------------

void raise_not_instance(PyObject* value, const char* expected, const char* argument) noexcept {
  Ref text;
  if (value == Py_None) {
    text = Ref::steal(PyUnicode_FromFormat("'None' is not an instance of '%s'", expected));
  } else {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!qualname) return;
    text = Ref::steal(
        PyUnicode_FromFormat("'%U' object is not an instance of '%s'", qualname.get(), expected));
  }
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  if (argument != nullptr) name_the_argument(argument);
}

void raise_too_many_positional(const char* display, Py_ssize_t nrequired, Py_ssize_t nparams,
                               Py_ssize_t nargs) noexcept {
  const char* verb = nargs == 1 ? "was" : "were";
  if (nrequired == nparams) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", display,
                 nparams, nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 display, nrequired, nparams, nargs, verb);
  }
}

void raise_missing_positional(const char* display, std::span<const char* const> missing) {
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string names;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) names += ',';
      names += (i + 1 == missing.size()) ? " and " : " ";
    }
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", display,
               missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
}

void raise_unexpected_keyword(const char* display, PyObject* keyword) noexcept {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display, keyword);
}

void raise_multiple_values(const char* display, const char* name) noexcept {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display, name);
}

void name_the_argument(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  if (Ref prefix = Ref::steal(PyUnicode_FromFormat("argument '%s'", name))) {
    prefix_error(prefix.get());
  }
}

void raise_threads_not_int(PyObject* threads) noexcept {
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(threads)));
  if (qualname) PyErr_Format(PyExc_TypeError, "threads must be an int, not '%U'", qualname.get());
}

void raise_threads_negative(long long threads) noexcept {
  PyErr_Format(PyExc_ValueError, "threads must be 0 (one per core) or more, not %lld", threads);
}

// ---- Result -------------------------------------------------------------------------------

void raise_string_key_mode(const char* mode) noexcept {
  PyErr_Format(PyExc_TypeError, "string keys are only valid on dict-like Result; this Result is %s",
               mode);
}

void raise_needs_dict_like(const char* display, const char* mode) noexcept {
  PyErr_Format(PyExc_TypeError,
               "%s requires a dict-like Result (single element with children); got %s", display,
               mode);
}

void raise_utf8_error(const xml::Utf8Error& error) noexcept {
  const auto index = static_cast<unsigned long long>(error.valid_up_to);
  if (error.error_len == 0) {
    PyErr_Format(PyExc_ValueError, "incomplete utf-8 byte sequence from index %llu", index);
  } else {
    PyErr_Format(PyExc_ValueError, "invalid utf-8 sequence of %d bytes from index %llu",
                 static_cast<int>(error.error_len), index);
  }
}

// ---- documents ----------------------------------------------------------------------------

void raise_not_regular_file(PyObject* shown) noexcept {
  PyErr_Format(PyExc_ValueError,
               "%R is not a regular file (a pipe or device cannot be mapped): read it and pass "
               "the bytes",
               shown);
}

PyObject* unknown_encoding_text(const std::string& name) noexcept {
  return PyUnicode_FromFormat("declared encoding '%s' is unknown; the text is read as UTF-8",
                              name.c_str());
}

void raise_unknown_encoding(const std::string& name) noexcept {
  const Ref text = Ref::steal(unknown_encoding_text(name));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_ambiguous(std::string_view name) noexcept {
  try {
    std::string message = "path is ambiguous: ";
    message += name;
    message +=
        " matches multiple elements but the path continues; specify .N (single) or .# (each)";
    raise_value_error(message);
  } catch (...) {
    PyErr_NoMemory();
  }
}

std::string syntax_error_text(const std::string& message, size_t line, size_t column,
                              const std::string& path) {
  std::string text = message;
  text += ", line " + std::to_string(line) + ", column " + std::to_string(column);
  if (!path.empty()) text += ", in " + path;
  return text;
}

void raise_value_error(std::string_view text) noexcept {
  Ref message = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_system_error(const char* what) noexcept { PyErr_SetString(PyExc_SystemError, what); }

// ---- tables -------------------------------------------------------------------------------

void raise_not_elements(PyObject* record_path) noexcept {
  PyErr_Format(PyExc_ValueError,
               "record_path must select elements, not attribute values, texts or aggregates: %R",
               record_path);
}

void raise_bad_format(PyObject* name, const std::string& reason, PyObject* format) noexcept {
  PyErr_Format(PyExc_ValueError, "field %R: %s: %R", name, reason.c_str(), format);
}

void raise_repeated(size_t count) noexcept {
  PyErr_Format(PyExc_ValueError,
               "%zu matches in one record, but the field holds one value: end its path in '.#' "
               "for a list, or pass on_repeat='first' or 'last'",
               count);
}

void raise_invalid_value(PyObject* text, const char* type_name) noexcept {
  PyErr_Format(PyExc_ValueError, "%R is not a valid %s", text, type_name);
}

Ref path_owner_text(PyObject* field) noexcept {
  return Ref::steal(field != nullptr ? PyUnicode_FromFormat("field %R", field)
                                     : PyUnicode_FromString("record_path"));
}

Ref record_place_text(PyObject* field, size_t index, size_t byte, size_t line) {
  const auto i = static_cast<Py_ssize_t>(index);
  const auto b = static_cast<Py_ssize_t>(byte);
  const auto l = static_cast<Py_ssize_t>(line);
  if (field != nullptr) {
    return Ref::steal(
        PyUnicode_FromFormat("field %R of record %zd (byte %zd, line %zd)", field, i, b, l));
  }
  return Ref::steal(PyUnicode_FromFormat("record %zd (byte %zd, line %zd)", i, b, l));
}

void prefix_error(PyObject* prefix) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_ValueError && type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal(traceback);
  Ref message = Ref::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
  if (!message) return;
  Ref text = Ref::steal(PyUnicode_FromFormat("%U: %U", prefix, message.get()));
  if (!text) return;
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!error) return;
  // The reworded error keeps what the first one said it came from.
  if (Ref cause = Ref::steal(PyException_GetCause(owned_value.get()))) {
    PyException_SetCause(error.get(), cause.release());  // steals
  }
  PyErr_Restore(owned_type.release(), error.release(), owned_traceback.release());
}

}  // namespace varnex::python
