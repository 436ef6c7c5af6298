// Item texts as Python values, read without a reader where the element is a plain leaf.
#include "python/result_text.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/engine.hpp"
#include "path/number.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

bool is_ascii_ws(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Whether [p, end) holds only ASCII bytes (and, with `no_amp`, no '&'), eight bytes at a time.
template <bool no_amp>
bool ascii_only(const unsigned char* p, const unsigned char* end) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  uint64_t seen = 0;
  for (; end - p >= 8; p += 8) {
    uint64_t word = 0;
    std::memcpy(&word, p, 8);
    seen |= word;  // high bit: a byte >= 0x80
    if constexpr (no_amp) {
      const uint64_t amp = word ^ (kOnes * '&');
      seen |= (amp - kOnes) & ~amp;  // high bit: a zero byte, that is an '&'
    }
  }
  for (; p < end; ++p) seen |= *p >= 0x80 || (no_amp && *p == '&') ? kHigh : 0;
  return (seen & kHigh) == 0;
}

bool is_ascii_name(unsigned char c) noexcept {
  return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == ':' || c == '-' || c == '.';
}

// The text of `<name>ascii text</...`: a start tag holding only its name, then text of ASCII bytes
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
  const void* lt = std::memchr(text, '<', static_cast<size_t>(end - text));
  if (lt == nullptr) return std::nullopt;
  q = static_cast<const unsigned char*>(lt);
  if (q + 1 >= end || q[1] != '/') return std::nullopt;  // markup inside, or no end tag
  if (!ascii_only<true>(text, q)) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(q - text));
}

// ASCII text trimmed of its white space, as a new str (NULL with an exception set).
PyObject* ascii_trimmed_str(std::string_view text) noexcept {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && is_ascii_ws(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && is_ascii_ws(static_cast<unsigned char>(text[last - 1]))) --last;
  // ASCII is Latin-1 too, whose decoder copies without checking sequences.
  return PyUnicode_DecodeLatin1(text.data() + first, static_cast<Py_ssize_t>(last - first),
                                nullptr);
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

Ref item_str(std::string_view bytes, bool is_element, std::string& scratch) {
  if (!is_element) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (ascii_only<false>(p, p + bytes.size())) return Ref::steal(ascii_trimmed_str(bytes));
    return trimmed_str(bytes);
  }
  if (const auto text = ascii_leaf_text(bytes)) return Ref::steal(ascii_trimmed_str(*text));
  const auto text = scalar_element_text(bytes, scratch);
  // An element with child elements is its markup, decoded lossily.
  return text ? trimmed_str(*text) : decode_lossy(bytes);
}

Ref to_str_value(const PyItems& items) {
  if (items.empty()) return Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (items.size() == 1) {
    if (items.is_text(0)) return item_str(items.owned(0), false);
    if (items.kind(0) == ItemKind::Span && PyBytes_Check(items.source())) {
      // A span into bytes, read in place: nothing to hold while it is read.
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(items.source(), &data, &size) != 0) return {};
      return item_str(items.bytes(0, std::string_view(data, static_cast<size_t>(size))), true);
    }
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
  std::string scratch;  // one for every item that needs resolving
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  // Spans all lie in one bytes or str object, which never changes: its bytes are read once.
  SourceBytes source;
  bool have_source = false;
  for (size_t i = 0; i < items.size(); ++i) {
    Ref text;
    switch (items.kind(i)) {
      case ItemKind::Text:
        text = item_str(items.owned(i), false, scratch);
        break;
      case ItemKind::Owned:
        text = item_str(items.owned(i), true, scratch);
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
        text = item_str(items.bytes(i, source.bytes()), true, scratch);
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
