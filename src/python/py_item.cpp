// Lifting engine items, sharing them between Results, and reading their bytes and text.
#include "python/py_item.hpp"

#include <new>

#include "engine/engine.hpp"

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

ElementMemo* PyItems::memo(size_t i) const noexcept {
  if (size_ != 1 || i != 0) return nullptr;
  if (!memo_) memo_.reset(new (std::nothrow) ElementMemo());
  return memo_.get();
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
    picked.push_from(*list_, at);
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

const SourceBytes* ElementBytes::read_document(PyObject* source, ElementMemo* memo) noexcept {
  // Only a bytes neither changes nor needs reading afresh: a str is never decoded, a buffer
  // may change.
  if (memo == nullptr || !PyBytes_Check(source)) {
    if (!source_.acquire(source) || !source_.decode_document()) return nullptr;
    return &source_;
  }
  if (!memo->has_document) {
    if (!memo->document.acquire(source) || !memo->document.decode_document()) {
      memo->document.release();
      return nullptr;
    }
    memo->has_document = true;
  }
  return &memo->document;
}

bool ElementBytes::load(const PyItems& items, size_t i) noexcept {
  shape_.reset();
  memo_ = nullptr;
  origin_ = {};
  lasting_ = false;
  PyObject* source = items.source();
  const SourceBytes* doc = &source_;
  switch (items.kind(i)) {
    case ItemKind::Owned:
      bytes_ = items.owned(i);
      lasting_ = true;
      memo_ = items.memo(i);
      return true;
    case ItemKind::Whole:
      doc = read_document(source, items.memo(i));
      if (doc == nullptr) return false;
      bytes_ = doc->bytes();
      break;
    case ItemKind::Span:
      if (!source_.acquire(source)) return false;
      bytes_ = items.bytes(i, source_.bytes());
      break;
    case ItemKind::Text:
      bytes_ = {};  // a text item has no element bytes
      return true;
  }
  // A document the Result keeps lasts as long as it does, even where no span can point into it.
  lasting_ = doc != &source_ || is_lasting(source, *doc);
  origin_ = SpanOrigin::of(source, doc->bytes(), is_lasting(source, *doc), bytes_);
  if (lasting_) memo_ = items.memo(i);
  return true;
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
  view_ = engine::element_text(element, owned_);
  return true;
}

}  // namespace varnex::python
