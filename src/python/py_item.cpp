// Lifting engine items, copying PyItems and reading their bytes and text.
#include "python/py_item.hpp"

#include <algorithm>

#include "engine/engine.hpp"

namespace varnex::python {
namespace {

// The markup of a span within `doc`, clamped so that a stale or foreign
// offset can never read outside the document.
std::string_view span_bytes(std::string_view doc, size_t start, size_t end) noexcept {
  start = std::min(start, doc.size());
  end = std::clamp(end, start, doc.size());
  return doc.substr(start, end - start);
}

OwnedItem owned_copy(std::string_view bytes) {
  return OwnedItem{std::make_shared<const std::string>(bytes)};
}

}  // namespace

PyItem clone_ref(const PyItem& item) {
  return std::visit(
      [](const auto& it) -> PyItem {
        using T = std::decay_t<decltype(it)>;
        if constexpr (std::is_same_v<T, TextItem>) {
          return TextItem{it.bytes};
        } else if constexpr (std::is_same_v<T, OwnedItem>) {
          return OwnedItem{it.markup};
        } else if constexpr (std::is_same_v<T, WholeItem>) {
          return WholeItem{Ref::borrow(it.source.get())};
        } else {
          return SpanItem{Ref::borrow(it.source.get()), it.start, it.end};
        }
      },
      item);
}

PyItems lift(engine::Items&& items, std::string_view doc) {
  PyItems out;
  out.reserve(items.size());
  for (auto& item : items) {
    if (auto* markup = std::get_if<engine::Markup>(&item)) {
      out.emplace_back(OwnedItem{std::make_shared<const std::string>(std::move(markup->bytes))});
    } else if (auto* value = std::get_if<engine::Value>(&item)) {
      out.emplace_back(TextItem{std::move(value->bytes)});
    } else {
      // Spans are not asked for over borrowed bytes; copy one if it comes anyway.
      const auto& span = std::get<engine::Span>(item);
      out.emplace_back(owned_copy(span_bytes(doc, span.start, span.end)));
    }
  }
  return out;
}

PyItems lift_with_source(engine::Items&& items, PyObject* source, std::string_view doc) {
  PyItems out;
  out.reserve(items.size());
  for (auto& item : items) {
    if (auto* span = std::get_if<engine::Span>(&item)) {
      const std::string_view bytes = span_bytes(doc, span->start, span->end);
      const auto start = static_cast<uint32_t>(bytes.data() - doc.data());
      out.emplace_back(
          SpanItem{Ref::borrow(source), start, static_cast<uint32_t>(start + bytes.size())});
    } else if (auto* markup = std::get_if<engine::Markup>(&item)) {
      out.emplace_back(OwnedItem{std::make_shared<const std::string>(std::move(markup->bytes))});
    } else {
      out.emplace_back(TextItem{std::move(std::get<engine::Value>(item).bytes)});
    }
  }
  return out;
}

bool ElementBytes::load(const PyItem& item) noexcept {
  if (const auto* owned = std::get_if<OwnedItem>(&item)) {
    bytes_ = *owned->markup;
    return true;
  }
  if (const auto* whole = std::get_if<WholeItem>(&item)) {
    if (!source_.acquire(whole->source.get()) || !source_.decode_document()) return false;
    bytes_ = source_.bytes();
    return true;
  }
  if (const auto* span = std::get_if<SpanItem>(&item)) {
    if (!source_.acquire(span->source.get())) return false;
    bytes_ = span_bytes(source_.bytes(), span->start, span->end);
    return true;
  }
  bytes_ = {};  // a text item has no element bytes
  return true;
}

bool ItemText::load(const PyItem& item) {
  if (const auto* text = std::get_if<TextItem>(&item)) {
    view_ = text->bytes;
    return true;
  }
  ElementBytes element;
  if (!element.load(item)) return false;
  owned_ = engine::extract_element_text(element.bytes());
  view_ = owned_;
  return true;
}

}  // namespace varnex::python
