// Lifting engine items, sharing them between Results, and reading their bytes and text.
#include "python/py_item.hpp"

#include <limits>

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

ItemKind PyItems::kind(size_t i) const noexcept {
  if (whole_) return ItemKind::Whole;
  switch (list_->kind(first_ + i)) {
    case engine::ItemKind::Span:
      return ItemKind::Span;
    case engine::ItemKind::Markup:
      return ItemKind::Owned;
    case engine::ItemKind::Value:
      break;
  }
  return ItemKind::Text;
}

namespace {

// Whether matches found in `source`'s bytes may be kept as spans into it.
bool keeps_spans(PyObject* source, const SourceBytes& bytes) noexcept {
  return (PyBytes_Check(source) || PyUnicode_Check(source)) && !bytes.is_copy() &&
         bytes.bytes().size() <= std::numeric_limits<uint32_t>::max();
}

}  // namespace

bool ElementBytes::load(const PyItems& items, size_t i) noexcept {
  origin_ = {};
  switch (items.kind(i)) {
    case ItemKind::Owned:
      bytes_ = items.owned(i);
      return true;
    case ItemKind::Whole:
      if (!source_.acquire(items.source()) || !source_.decode_document()) return false;
      bytes_ = source_.bytes();
      if (keeps_spans(items.source(), source_)) origin_.source = items.source();
      return true;
    case ItemKind::Span: {
      if (!source_.acquire(items.source())) return false;
      bytes_ = items.bytes(i, source_.bytes());
      if (keeps_spans(items.source(), source_)) {
        origin_.source = items.source();
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

bool ItemText::load(const PyItems& items, size_t i) {
  if (items.is_text(i)) {
    view_ = items.owned(i);
    return true;
  }
  if (!element_.load(items, i)) return false;
  view_ = engine::element_text(element_.bytes(), owned_);
  return true;
}

}  // namespace varnex::python
