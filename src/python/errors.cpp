// Error mapping at the boundary: engine and path errors, C++ exceptions.
#include "python/errors.hpp"

#include <exception>
#include <string>

#include "path/cache.hpp"
#include "python/docstrings.hpp"
#include "python/ref.hpp"

namespace varnex::python {
namespace {

// Unicode data comes from the interpreter, imported only when a path error
// is being worded; a failed lookup falls back to a conservative ASCII rule.
struct EscapeContext {
  Ref unicodedata;
  bool import_failed = false;
};

bool ascii_needs_escape(char32_t cp) noexcept { return cp < 0x20 || cp == 0x7F; }

// Returns a new reference to unicodedata.<function>(ch), or an empty Ref
// (the error cleared) when the module or the call is unavailable.
Ref unicodedata_call(EscapeContext& ctx, const char* function, PyObject* ch) noexcept {
  if (!ctx.unicodedata && !ctx.import_failed) {
    ctx.unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
    ctx.import_failed = !ctx.unicodedata;
  }
  Ref result;
  if (ctx.unicodedata) {
    result = Ref::steal(PyObject_CallMethod(ctx.unicodedata.get(), function, "O", ch));
  }
  if (!result) PyErr_Clear();
  return result;
}

// Escape what is not printable (str.isprintable) or combines with what precedes it.
bool needs_escape(char32_t cp, void* raw_ctx) noexcept {
  if (cp < 0x80) return ascii_needs_escape(cp);
  auto& ctx = *static_cast<EscapeContext*>(raw_ctx);
  Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
  if (!ch) {
    PyErr_Clear();
    return true;
  }
  Ref printable = Ref::steal(PyObject_CallMethod(ch.get(), "isprintable", nullptr));
  const int is_printable = printable ? PyObject_IsTrue(printable.get()) : -1;
  if (is_printable <= 0) {
    PyErr_Clear();
    return true;
  }
  if (Ref combining = unicodedata_call(ctx, "combining", ch.get())) {
    const long value = PyLong_AsLong(combining.get());
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    if (value > 0) return true;
  }
  if (Ref category = unicodedata_call(ctx, "category", ch.get())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(category.get(), &size);
    if (text == nullptr) {
      PyErr_Clear();
      return false;
    }
    const std::string_view name(text, static_cast<size_t>(size));
    return name == "Mn" || name == "Me" || name == "Mc";
  }
  return false;
}

}  // namespace

void engine_err_to_py(const engine::EngineError& error) noexcept { raise_ambiguous(error.name); }

void raise_path_error(const path::ParseError& error, std::string_view path) noexcept {
  try {
    EscapeContext ctx;
    raise_value_error(path::format_path_error(error, path, needs_escape, &ctx));
  } catch (...) {
    raise_from_cpp_exception();
  }
}

std::string quote_path_for_repr(std::string_view path) {
  EscapeContext ctx;
  return path::quote_path(path, needs_escape, &ctx);
}

namespace {
// Sets attribute `name` of `object` to `value`, a new reference (stolen). False on failure.
bool set_attr(PyObject* object, const char* name, PyObject* value) noexcept {
  Ref owned = Ref::steal(value);
  return owned && PyObject_SetAttrString(object, name, owned.get()) == 0;
}

PyObject* utf8_text(const std::string& text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}
}  // namespace

Ref create_syntax_error_type(PyObject*) noexcept {
  return Ref::steal(PyErr_NewExceptionWithDoc("varnex._varnex.XMLSyntaxError", doc::XMLSyntaxError,
                                              PyExc_ValueError, nullptr));
}

void raise_syntax_error(const ModuleState& state, const engine::CheckReport& report,
                        bool is_str) noexcept {
  PyObject* syntax_error_type = state.object(Class::SyntaxError);
  try {
    Ref message = Ref::steal(
        utf8_text(syntax_error_text(report.message, report.line, report.column, report.path)));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(syntax_error_type, message.get(), nullptr));
    if (!error) return;
    const size_t offset = is_str ? report.chars_before : report.offset;
    PyObject* offset_value =
        offset == engine::CheckReport::kUnknown ? Py_NewRef(Py_None) : PyLong_FromSize_t(offset);
    if (!set_attr(error.get(), "message", utf8_text(report.message)) ||
        !set_attr(error.get(), "offset", offset_value) ||
        !set_attr(error.get(), "line", PyLong_FromSize_t(report.line)) ||
        !set_attr(error.get(), "column", PyLong_FromSize_t(report.column)) ||
        !set_attr(error.get(), "path", utf8_text(report.path)))
      return;
    PyErr_SetObject(syntax_error_type, error.get());
  } catch (...) {
    raise_from_cpp_exception();
  }
}

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_system_error(e.what());
  } catch (...) {
    raise(Message::UnexpectedCppException);
  }
}

}  // namespace varnex::python
