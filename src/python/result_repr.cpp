// repr() of a Result (a bare scalar or a short tag-like summary) and of its views.
#include "python/result_repr.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "path/number.hpp"
#include "python/errors.hpp"
#include "python/result.hpp"
#include "python/result_views.hpp"
#include "python/utf8.hpp"
#include "values/values.hpp"

namespace varnex::python {
namespace {

// Entries a list or dict summary shows before "...".
constexpr size_t kSummaryEntries = 2;

// Appends the UTF-8 form of str(value); characters with no UTF-8 form
// (lone surrogates) come out as U+FFFD. False with an exception set.
bool append_str(PyObject* value, std::string& out) {
  Ref text = Ref::steal(PyObject_Str(value));
  if (!text) return false;
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
    out.append(data, static_cast<size_t>(size));
    return true;
  }
  PyErr_Clear();
  Ref raw = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!raw) return false;
  Ref lossy = decode_lossy(
      std::string_view(PyBytes_AsString(raw.get()), static_cast<size_t>(PyBytes_Size(raw.get()))));
  if (!lossy) return false;
  const char* data = PyUnicode_AsUTF8AndSize(lossy.get(), &size);
  if (data == nullptr) return false;
  out.append(data, static_cast<size_t>(size));
  return true;
}

// "[a, b]" or "[a, b, ...]" around pieces already appended by `entry(i)`.
template <class Entry>
bool append_summary_list(size_t count, std::string& out, Entry&& entry) {
  out += '[';
  const size_t shown = count < kSummaryEntries ? count : kSummaryEntries;
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ", ";
    if (!entry(i)) return false;
  }
  if (count > kSummaryEntries) out += ", ...";
  out += ']';
  return true;
}

// What a Result whose document can no longer be read shows.
constexpr const char* kSourceClosed = "<Result (source closed)>";

// After a failed read of an item's bytes: true (error cleared) when the
// source could not be read any more, so the caller can show kSourceClosed; false for
// anything else (MemoryError), which a repr passes on.
bool source_unreadable() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
  PyErr_Clear();
  return true;
}

// Appends the value of one scalar text: the number it reads as, else the
// trimmed text; in text that is not UTF-8 each bad sequence shows as U+FFFD.
// False with an exception set (MemoryError).
bool append_scalar(std::string_view text, std::string& out) {
  if (check_utf8(text)) {
    Ref lossy = decode_lossy(text);
    Py_ssize_t size = 0;
    const char* data = lossy ? PyUnicode_AsUTF8AndSize(lossy.get(), &size) : nullptr;
    if (data == nullptr) return false;
    out += path::trim_unicode_ws(std::string_view(data, static_cast<size_t>(size)));
    return true;
  }
  const std::string_view trimmed = path::trim_unicode_ws(text);
  const values::Scalar scalar = values::classify_scalar(trimmed);
  if (const auto* i = std::get_if<int64_t>(&scalar)) {
    out += std::to_string(*i);
    return true;
  }
  if (const auto* f = std::get_if<double>(&scalar)) {
    Ref number = Ref::steal(PyFloat_FromDouble(*f));
    return number && append_str(number.get(), out);
  }
  out += trimmed;
  return true;
}

// Appends the representation of `items` as raw bytes (dict names are not
// decoded here; the caller decodes the whole text lossily once: the ASCII
// around each name keeps a bad name's bytes from merging with anything else).
// Never fails for the data itself; false only with MemoryError or the like set.
bool append_repr(const PyItems& items, std::string& out) {
  ElementBytes element;
  const auto mode = compute_mode(items, element);
  if (!mode) {
    if (!source_unreadable()) return false;
    out += kSourceClosed;
    return true;
  }
  switch (*mode) {
    case Mode::Empty: out += "None"; return true;
    case Mode::ScalarLike: {
      if (items.is_text(0)) return append_scalar(items.owned(0), out);
      return append_scalar(element.shape().text, out);
    }
    case Mode::Multi:
      out += "<Result type=list, value=";
      if (!append_summary_list(items.size(), out,
                               [&](size_t i) { return append_repr(items.one(i), out); })) {
        return false;
      }
      out += '>';
      return true;
    case Mode::DictElement: {
      const auto children = engine::collect_direct_children(element.bytes());
      const auto names = engine::unique_child_names(children);
      out += "<Result type=dict, keys=";
      (void)append_summary_list(names.size(), out, [&](size_t i) {
        out += names[i];
        return true;
      });
      out += '>';
      return true;
    }
  }
  return false;
}

// Whether a code point prints as itself, by the interpreter's str.isprintable.
bool is_printable(char32_t cp) {
  if (cp < 0x80) return cp >= 0x20 && cp != 0x7F;
  Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
  Ref answer = Ref::steal(ch ? PyObject_CallMethod(ch.get(), "isprintable", nullptr) : nullptr);
  const int printable = answer ? PyObject_IsTrue(answer.get()) : -1;
  if (printable < 0) {
    PyErr_Clear();
    return false;  // unknown: escaping is always safe
  }
  return printable == 1;
}

// Appends `name` (valid UTF-8) between double quotes, escaped.
void append_quoted(std::string_view name, std::string& out) {
  out += '"';
  size_t i = 0;
  while (i < name.size()) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length && i + k < name.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (is_printable(cp)) {
          out.append(name.substr(i, length));
        } else {
          char hex[16];
          const int written = PyOS_snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
          out.append(hex, written > 0 ? static_cast<size_t>(written) : 0);
        }
    }
    i += length;
  }
  out += '"';
}

// Returns a new reference to a str made from UTF-8 `text`, lossily.
PyObject* to_str_lossy(const std::string& text) noexcept { return decode_lossy(text).release(); }

}  // namespace

PyObject* Result_repr(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::string out;
    if (!append_repr(result_items(self), out)) return nullptr;
    return to_str_lossy(out);
  });
}

PyObject* ResultKeysView_repr(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::string out = "result_keys([";
    if (PyObject* parent = view_parent(self)) {
      const PyItems& items = result_items(parent);
      ElementBytes element;
      if (items.size() == 1 && !element.load(items, 0)) {
        if (!source_unreadable()) return nullptr;
        return PyUnicode_FromString("result_keys(<source closed>)");
      }
      const auto children = engine::collect_direct_children(element.bytes());
      const auto names = engine::unique_child_names(children);
      for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        // A name that is not UTF-8 shows as "".
        append_quoted(check_utf8(names[i]) ? std::string_view{} : names[i], out);
      }
    }
    out += "])";
    return to_str_lossy(out);
  });
}

PyObject* ResultValuesView_repr(PyObject*) noexcept {
  return PyUnicode_FromString("result_values([...])");
}

PyObject* ResultItemsView_repr(PyObject*) noexcept {
  return PyUnicode_FromString("result_items([...])");
}

PyObject* ResultChildrenView_repr(PyObject*) noexcept {
  return PyUnicode_FromString("result_children([...])");
}

}  // namespace varnex::python
