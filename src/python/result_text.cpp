// Item texts as Python values, read without a reader where the element is a plain leaf.
#include "python/result_text.hpp"

#include <string>

#include "engine/engine.hpp"
#include "path/number.hpp"
#include "python/utf8.hpp"

namespace varnex::python {

std::optional<std::string_view> scalar_element_text(std::string_view element,
                                                    std::string& scratch) {
  if (auto text = engine::simple_element_text(element, scratch)) return text;
  if (engine::element_has_child_elements(element)) return std::nullopt;
  scratch = engine::extract_element_text(element);
  return std::string_view(scratch);
}

Ref trimmed_str(std::string_view text) noexcept {
  if (auto error = check_utf8(text)) {
    raise_utf8_error(*error);
    return {};
  }
  const std::string_view trimmed = path::trim_unicode_ws(text);
  return Ref::steal(
      PyUnicode_FromStringAndSize(trimmed.data(), static_cast<Py_ssize_t>(trimmed.size())));
}

Ref item_str(std::string_view bytes, bool is_element) {
  if (!is_element) return trimmed_str(bytes);
  std::string scratch;
  const auto text = scalar_element_text(bytes, scratch);
  // An element with child elements is its markup, decoded lossily.
  return text ? trimmed_str(*text) : decode_lossy(bytes);
}

Ref to_str_value(const PyItems& items) {
  if (items.empty()) return Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (items.size() == 1) {
    if (items.is_text(0)) return item_str(items.owned(0), false);
    ElementBytes element;
    if (!element.load(items, 0)) return {};
    return item_str(element.bytes(), true);
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
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  // Spans all lie in one bytes or str object, which never changes: its bytes are read once.
  SourceBytes source;
  bool have_source = false;
  for (size_t i = 0; i < items.size(); ++i) {
    Ref text;
    switch (items.kind(i)) {
      case ItemKind::Text:
        text = item_str(items.owned(i), false);
        break;
      case ItemKind::Owned:
        text = item_str(items.owned(i), true);
        break;
      case ItemKind::Span: {
        if (!have_source) {
          if (!source.acquire(items.source())) return {};
          have_source = true;
        }
        text = item_str(items.bytes(i, source.bytes()), true);
        break;
      }
      case ItemKind::Whole: {
        ElementBytes element;
        if (!element.load(items, i)) return {};
        text = item_str(element.bytes(), true);
        break;
      }
    }
    if (!text) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text.release());  // steals
  }
  return list;
}

}  // namespace varnex::python
