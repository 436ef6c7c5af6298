// Item texts as Python values, read without a reader where the element is a plain leaf.
#include "python/result_text.hpp"

#include <string>

#include "engine/engine.hpp"
#include "path/number.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

bool is_ascii_ws(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

bool is_ascii_name(unsigned char c) noexcept {
  return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == ':' || c == '-' || c == '.';
}

// The text of `<name>ascii text</...`: a start tag without quotes, then text of ASCII bytes
// other than '&', then an end tag. That text is what the reader gives, as it is (valid UTF-8,
// nothing to resolve). Nothing for anything else, which the general rule then reads.
std::optional<std::string_view> ascii_leaf_text(std::string_view element) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(element.data());
  const auto* end = p + element.size();
  if (element.size() < 4 || p[0] != '<') return std::nullopt;
  const unsigned char first = p[1];
  if (!((first | 0x20) >= 'a' && (first | 0x20) <= 'z') && first != '_' && first != ':') {
    return std::nullopt;
  }
  // A name and maybe white space; anything else (attributes, '/>') takes the general rule.
  const unsigned char* q = p + 2;
  while (q < end && (is_ascii_name(*q) || *q >= 0x80)) ++q;
  while (q < end && (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r')) ++q;
  if (q == end || *q != '>') return std::nullopt;
  const unsigned char* text = ++q;
  for (; q < end && *q != '<'; ++q) {
    if (*q >= 0x80 || *q == '&') return std::nullopt;
  }
  if (q + 1 >= end || q[1] != '/') return std::nullopt;  // markup inside, or no end tag
  return std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(q - text));
}

// ASCII text trimmed of its white space, as a new str (NULL with an exception set).
PyObject* ascii_trimmed_str(std::string_view text) noexcept {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && is_ascii_ws(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && is_ascii_ws(static_cast<unsigned char>(text[last - 1]))) --last;
  return PyUnicode_FromStringAndSize(text.data() + first, static_cast<Py_ssize_t>(last - first));
}

}  // namespace

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
  if (const auto text = ascii_leaf_text(bytes)) return Ref::steal(ascii_trimmed_str(*text));
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
  constexpr size_t kPrefetchAhead = 8;
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
        // Spans lie far apart in a large document: ask for one a few items ahead early.
        if (i + kPrefetchAhead < items.size() && items.kind(i + kPrefetchAhead) == ItemKind::Span) {
          __builtin_prefetch(items.bytes(i + kPrefetchAhead, source.bytes()).data());
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
