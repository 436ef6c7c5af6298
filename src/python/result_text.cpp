// Item texts as Python values, read without a reader where the element is a plain leaf.
#include "python/result_text.hpp"

#include <string>

#include "engine/engine.hpp"
#include "engine/leaf.hpp"
#include "path/number.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

bool is_ascii_ws(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// ASCII text trimmed of its white space, as a new str (NULL with an exception set).
PyObject* ascii_trimmed_str(std::string_view text) noexcept {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && is_ascii_ws(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && is_ascii_ws(static_cast<unsigned char>(text[last - 1]))) --last;
  // ASCII is Latin-1 too, whose decoder costs least under the limited API (measured against
  // the ASCII and UTF-8 decoders, which copy a byte at a time until the source is aligned).
  return PyUnicode_DecodeLatin1(text.data() + first, static_cast<Py_ssize_t>(last - first),
                                nullptr);
}

// Valid UTF-8 trimmed of its white space, as a new str (NULL with an exception set).
Ref valid_trimmed_str(std::string_view text) noexcept {
  const std::string_view trimmed = path::trim_unicode_ws(text);
  return Ref::steal(
      PyUnicode_FromStringAndSize(trimmed.data(), static_cast<Py_ssize_t>(trimmed.size())));
}

}  // namespace

std::optional<std::string_view> scalar_element_text(std::string_view element,
                                                    std::string& scratch) {
  const engine::ElementShape shape = engine::describe_element(element, scratch);
  if (shape.has_children) return std::nullopt;
  return shape.text;
}

Ref trimmed_str(std::string_view text) noexcept {
  if (auto error = check_utf8(text)) {
    raise_utf8_error(*error);
    return {};
  }
  return valid_trimmed_str(text);
}

Ref item_str(std::string_view bytes, bool is_element, std::string& scratch, bool lossy) {
  const auto text_str = [lossy](std::string_view text) {
    return lossy ? decode_lossy(path::trim_unicode_ws(text)) : trimmed_str(text);
  };
  if (!is_element) {
    if (xml::is_ascii(bytes)) return Ref::steal(ascii_trimmed_str(bytes));
    return text_str(bytes);
  }
  const engine::ElementShape shape = engine::describe_element(bytes, scratch);
  // An element with child elements is its markup, decoded lossily.
  if (shape.has_children) return decode_lossy(bytes);
  if (shape.ascii) return Ref::steal(ascii_trimmed_str(shape.text));
  if (shape.valid) return valid_trimmed_str(shape.text);
  return text_str(shape.text);
}

Ref to_str_value(const PyItems& items, bool lossy) {
  if (items.empty()) return Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (items.size() == 1) {
    std::string scratch;
    if (items.is_text(0)) return item_str(items.owned(0), false, scratch, lossy);
    if (items.kind(0) == ItemKind::Span) {
      // A span into a bytes or str, read in place: nothing to hold while it is read.
      const std::string_view element = items.span_bytes(0, lasting_bytes(items.source()));
      if (!element.empty()) return item_str(element, true, scratch, lossy);
    }
    ElementBytes element;
    if (!element.load(items, 0)) return {};
    return item_str(element.bytes(), true, scratch, lossy);
  }
  // Raw pieces, one per item, joined by line feeds and decoded lossily.
  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) joined += '\n';
    if (items.is_text(i)) {
      joined += items.owned(i);
    } else {
      ElementBytes piece;
      if (!piece.load(items, i)) return {};
      joined += piece.bytes();
    }
  }
  return decode_lossy(joined);
}

Ref to_str_list_value(const PyItems& items) {
  std::string scratch;  // one for every item that needs resolving
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  // Spans all lie in one bytes or str object, which never changes: its bytes are read once.
  SourceBytes source;
  bool have_source = false;
  for (size_t i = 0; i < items.size(); ++i) {
    Ref text;
    switch (items.kind(i)) {
      case ItemKind::Text: text = item_str(items.owned(i), false, scratch); break;
      case ItemKind::Owned: text = item_str(items.owned(i), true, scratch); break;
      case ItemKind::Span: {
        if (!have_source) {
          if (!source.acquire(items.source())) return {};
          have_source = true;
        }
        items.prefetch(i + PyItems::kPrefetchAhead, source.bytes());
        text = item_str(items.span_bytes(i, source.bytes()), true, scratch);
        break;
      }
      case ItemKind::Whole: {
        ElementBytes element;
        if (!element.load(items, i)) return {};
        text = item_str(element.bytes(), true, scratch);
        break;
      }
    }
    if (!text) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text.release());  // steals
  }
  return list;
}

}  // namespace varnex::python
