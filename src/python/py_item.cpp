// Lifting engine items, sharing them between Results, and reading their bytes and text.
#include "python/py_item.hpp"

#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/engine.hpp"
#include "python/utf8.hpp"

namespace varnex::python {

PyItems PyItems::lift(engine::Items&& items, PyObject* source, std::string_view doc,
                      uint32_t base) {
  PyItems out;
  if (items.empty()) return out;
  bool any_span = false;
  for (size_t i = 0; i < items.size() && !any_span; ++i) any_span = items.is_span(i);
  if (any_span) {
    if (source == nullptr) {
      items.copy_spans(doc);  // not asked for over borrowed bytes; copied if they come anyway
    } else {
      if (base != 0) items.shift_spans(base);
      out.source_ = Ref::borrow(source);
    }
  }
  out.size_ = items.size();
  out.list_ = std::make_shared<const engine::Items>(std::move(items));
  return out;
}

PyItems PyItems::whole(PyObject* source) {
  PyItems out;
  out.source_ = Ref::borrow(source);
  out.size_ = 1;
  out.whole_ = true;
  return out;
}

PyItems PyItems::slice(size_t first, size_t count) const {
  PyItems out;
  if (count == 0) return out;
  out.source_ = Ref::borrow(source_.get());
  out.list_ = list_;
  out.first_ = first_ + first;
  out.size_ = count;
  out.whole_ = whole_;
  return out;
}

PyItems PyItems::pick(size_t start, Py_ssize_t step, size_t count) const {
  if (step == 1 || count <= 1) return slice(start, count);
  engine::Items picked;
  picked.reserve(count);
  for (size_t k = 0; k < count; ++k) {
    // Computed afresh: stepping past the last pick could overflow for a huge step.
    const size_t at = first_ + static_cast<size_t>(static_cast<Py_ssize_t>(start) +
                                                   static_cast<Py_ssize_t>(k) * step);
    switch (list_->kind(at)) {
      case engine::ItemKind::Span: {
        const engine::Span span = list_->span(at);
        picked.push_span(span.start, span.end);
        break;
      }
      case engine::ItemKind::Markup:
        picked.push_markup(list_->owned(at));
        break;
      case engine::ItemKind::Value:
        picked.push_value(list_->owned(at));
        break;
    }
  }
  PyItems out;
  out.source_ = Ref::borrow(source_.get());
  out.size_ = picked.size();
  out.list_ = std::make_shared<const engine::Items>(std::move(picked));
  return out;
}

namespace {

// Whether `bytes`, read from `source`, are the object's own, which never change.
bool is_lasting(PyObject* source, const SourceBytes& bytes) noexcept {
  return (PyBytes_Check(source) || PyUnicode_Check(source)) && !bytes.is_copy();
}

// Whether matches found in `source`'s bytes may be kept as spans into it.
bool keeps_spans(PyObject* source, const SourceBytes& bytes) noexcept {
  return is_lasting(source, bytes) && bytes.bytes().size() <= std::numeric_limits<uint32_t>::max();
}

}  // namespace

std::string_view lasting_bytes(PyObject* source) noexcept {
  if (source != nullptr && PyBytes_Check(source)) {
    return {PyBytes_AsString(source), static_cast<size_t>(PyBytes_Size(source))};
  }
  if (source == nullptr || !PyUnicode_Check(source)) return {};
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(source, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {data, static_cast<size_t>(size)};
}

std::vector<engine::Binding> ElementBytes::outer_declarations() const {
  const std::string_view doc = source_.bytes();
  if (doc.empty() || bytes_.data() <= doc.data() || bytes_.data() > doc.data() + doc.size()) {
    return {};
  }
  return engine::declarations_at(doc, static_cast<size_t>(bytes_.data() - doc.data()));
}

bool ElementBytes::load(const PyItems& items, size_t i) noexcept {
  origin_ = {};
  lasting_ = false;
  PyObject* source = items.source();
  switch (items.kind(i)) {
    case ItemKind::Owned:
      bytes_ = items.owned(i);
      lasting_ = true;
      return true;
    case ItemKind::Whole:
      if (!source_.acquire(source) || !source_.decode_document()) return false;
      bytes_ = source_.bytes();
      lasting_ = is_lasting(source, source_);
      if (keeps_spans(source, source_)) origin_.source = source;
      return true;
    case ItemKind::Span: {
      if (!source_.acquire(source)) return false;
      bytes_ = items.bytes(i, source_.bytes());
      lasting_ = is_lasting(source, source_);
      if (keeps_spans(source, source_)) {
        origin_.source = source;
        origin_.base = static_cast<uint32_t>(bytes_.data() - source_.bytes().data());
      }
      return true;
    }
    case ItemKind::Text:
      break;
  }
  bytes_ = {};  // a text item has no element bytes
  return true;
}

namespace {

// The first byte of [p, end) that is '<' or '&', or with `stop_high` one of 0x80 or more;
// `end` when there is none. Text runs are short and the end tag stops the sweep, so it
// reads sixteen bytes at a time where it can.
template <bool stop_high>
const unsigned char* find_text_stop(const unsigned char* p, const unsigned char* end) noexcept {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i amp = _mm_set1_epi8('&');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp));
    if constexpr (stop_high) hit = _mm_or_si128(hit, v);  // the sign bit: a byte >= 0x80
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + __builtin_ctz(mask);
  }
#endif
  for (; p < end; ++p) {
    if (*p == '<' || *p == '&' || (stop_high && *p >= 0x80)) return p;
  }
  return end;
}

}  // namespace

std::optional<LeafText> plain_leaf_text(std::string_view element) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(element.data());
  const auto* end = p + element.size();
  if (element.size() < 4 || p[0] != '<' || p[1] == '/' || p[1] == '!' || p[1] == '?') {
    return std::nullopt;
  }
  // The start tag ends at the first '>' outside quoted values; '/>' takes the general rule.
  const unsigned char* q = p + 2;
  for (unsigned char quote = 0; q < end; ++q) {
    if (quote != 0) {
      if (*q == quote) quote = 0;
    } else if (*q == '>') {
      break;
    } else if (*q == '"' || *q == '\'') {
      quote = *q;
    }
  }
  if (q == end || q[-1] == '/') return std::nullopt;
  const unsigned char* text = ++q;
  LeafText leaf;
  q = find_text_stop<true>(text, end);
  if (q < end && *q >= 0x80) {
    leaf.ascii = false;
    q = find_text_stop<false>(q, end);
  }
  // '&' to resolve, markup inside, or no end tag.
  if (end - q < 2 || q[0] != '<' || q[1] != '/') return std::nullopt;
  leaf.text = std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(q - text));
  // Bytes that are not UTF-8 are the general rule's to report.
  if (!leaf.ascii && check_utf8(leaf.text)) return std::nullopt;
  return leaf;
}

bool ItemText::load(const PyItems& items, size_t i) {
  if (items.is_text(i)) {
    view_ = items.owned(i);
    return true;
  }
  // A span into a bytes or str is read in place; anything else through ElementBytes.
  std::string_view element = items.kind(i) == ItemKind::Span
                                 ? items.span_bytes(i, lasting_bytes(items.source()))
                                 : std::string_view{};
  if (element.empty()) {
    if (!element_.load(items, i)) return false;
    element = element_.bytes();
  }
  if (const auto leaf = plain_leaf_text(element)) {
    view_ = leaf->text;
    return true;
  }
  view_ = engine::element_text(element, owned_);
  return true;
}

}  // namespace varnex::python
