// PyItems: what a Result holds, and how engine items become them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/item.hpp"
#include "engine/leaf.hpp"
#include "engine/namespaces.hpp"
#include "python/ref.hpp"
#include "python/source.hpp"

namespace varnex::python {

enum class ItemKind : uint8_t {
  Text,   // owned bytes: attribute values, texts, counts, modifier outputs; maybe not UTF-8
  Owned,  // a copy of one element's markup
  Whole,  // the whole document object is the element (made only by parse)
  Span,   // one element inside the document object, by byte offsets
};

// Where element bytes lie, so that what is found in them can be spans: `base` bytes into
// the bytes of `source` (borrowed), or nowhere lasting (no source: copies).
struct SpanOrigin {
  PyObject* source = nullptr;
  uint32_t base = 0;

  // Where `part` lies within `all`, the bytes of `source`, when the span rule lets what is
  // found in them be spans (`lasting`: they stay where they are, unchanged, while the items
  // live); else nowhere.
  [[nodiscard]] static SpanOrigin of(PyObject* source, std::string_view all, bool lasting,
                                     std::string_view part) noexcept {
    if (!engine::keeps_spans(all.size(), lasting)) return {};
    return {source, static_cast<uint32_t>(part.data() - all.data())};
  }
  [[nodiscard]] bool keeps_spans() const noexcept { return source != nullptr; }
};

// What a Result with one element item keeps of it between calls, once read, where it cannot
// go stale: the document of a parse() result over a bytes (decoded once when it is in another
// encoding), and the element's description. Written only with the interpreter lock held.
struct ElementMemo {
  SourceBytes document;
  bool has_document = false;
  std::optional<engine::ElementShape> shape;
  std::string scratch;  // a text the shape views when it is not in the element's bytes
};

// The items of one Result. They never change once made (other threads read them while a
// pass runs without the interpreter lock): the engine's list is shared, not copied, by every
// Result made from it (one item, a slice), and the document object that spans refer to (a
// bytes or a str, whose bytes never change) is referenced once per Result, not per item.
class PyItems {
 public:
  PyItems() noexcept = default;
  PyItems(PyItems&&) noexcept = default;
  PyItems& operator=(PyItems&&) noexcept = default;
  PyItems(const PyItems&) = delete;
  PyItems& operator=(const PyItems&) = delete;

  // The items of a pass over `doc`, which starts `base` bytes into the bytes of `source` (a
  // bytes or str object, borrowed): spans refer to it from then on. With no source (`doc` is
  // borrowed or a copy), any span is copied out of `doc` instead.
  [[nodiscard]] static PyItems lift(engine::Items&& items, PyObject* source, std::string_view doc,
                                    uint32_t base = 0);
  // Owned items only (copies and texts).
  [[nodiscard]] static PyItems copies(engine::Items&& items) {
    return lift(std::move(items), nullptr, {});
  }
  // The same for a pass over bytes that lie at `origin` (spans relative to `doc`).
  [[nodiscard]] static PyItems lift(engine::Items&& items, SpanOrigin origin,
                                    std::string_view doc) {
    return lift(std::move(items), origin.source, doc, origin.base);
  }
  // The document object itself as the one item (borrowed).
  [[nodiscard]] static PyItems whole(PyObject* source);

  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  // Items [first, first + count), sharing the list.
  [[nodiscard]] PyItems slice(size_t first, size_t count) const;
  [[nodiscard]] PyItems one(size_t i) const { return slice(i, 1); }
  // `count` items from `start` on, `step` apart: a shared slice when the step is 1.
  [[nodiscard]] PyItems pick(size_t start, Py_ssize_t step, size_t count) const;

  [[nodiscard]] ItemKind kind(size_t i) const noexcept {
    if (whole_) return ItemKind::Whole;
    switch (list_->kind(first_ + i)) {
      case engine::ItemKind::Span: return ItemKind::Span;
      case engine::ItemKind::Markup: return ItemKind::Owned;
      case engine::ItemKind::Value: break;
    }
    return ItemKind::Text;
  }
  [[nodiscard]] bool is_text(size_t i) const noexcept { return kind(i) == ItemKind::Text; }
  // A Text or Owned item's bytes, valid while these items live.
  [[nodiscard]] std::string_view owned(size_t i) const noexcept { return list_->owned(first_ + i); }
  // A Span item's bytes within `doc`, its source's bytes (clamped to them), or a Text or
  // Owned item's bytes.
  [[nodiscard]] std::string_view bytes(size_t i, std::string_view doc) const noexcept {
    return list_->bytes(first_ + i, doc);
  }
  // A Span item's bytes within `doc`, its source's bytes (clamped to them).
  [[nodiscard]] std::string_view span_bytes(size_t i, std::string_view doc) const noexcept {
    const engine::Span span = list_->span(first_ + i);
    const size_t end = span.end < doc.size() ? span.end : doc.size();
    const size_t start = span.start < end ? span.start : end;
    return doc.substr(start, end - start);
  }
  // Asks for item `i`'s first bytes within `doc` ahead of use, if it is a span: spans lie far
  // apart in a large document, and reading one is mostly waiting for memory.
  void prefetch(size_t i, std::string_view doc) const noexcept {
    if (i < size_ && kind(i) == ItemKind::Span) __builtin_prefetch(span_bytes(i, doc).data());
  }
  // How many items ahead a walk over items asks for the next span's bytes.
  static constexpr size_t kPrefetchAhead = 16;
  // Borrowed: the object spans and the Whole item refer to, or null.
  [[nodiscard]] PyObject* source() const noexcept { return source_.get(); }
  // The memo of the one item, made on first use; null for other items, or without memory.
  [[nodiscard]] ElementMemo* memo(size_t i) const noexcept;

 private:
  mutable std::unique_ptr<ElementMemo> memo_;
  Ref source_;
  std::shared_ptr<const engine::Items> list_;  // null for no items and for Whole
  size_t first_ = 0;
  size_t size_ = 0;
  bool whole_ = false;
};

// The bytes of a bytes or str source, read in place: they never change and live as long as
// the object, so nothing needs holding while spans in them are read. Empty for any other
// source, and for a str with no UTF-8 form (the error is cleared: reading an item through
// ElementBytes reports it).
[[nodiscard]] std::string_view lasting_bytes(PyObject* source) noexcept;

// The element bytes of an element item, valid while this object lives (a
// buffer view, when the source needs one, is held exactly that long).
class ElementBytes {
 public:
  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }
  // False with an exception set when the source can no longer be read.
  [[nodiscard]] bool load(const PyItems& items, size_t i) noexcept;
  // True when no Python code can change bytes() meanwhile: a copy of markup
  // (which loads no source bytes), or a source whose bytes are immutable.
  [[nodiscard]] bool is_immutable() const noexcept {
    return source_.bytes().empty() || source_.is_immutable();
  }
  // Where bytes() lie when an object holds them in place for good (a bytes or str read as it
  // is, small enough for 32-bit offsets): matches found in them can then be spans into it.
  [[nodiscard]] SpanOrigin origin() const noexcept { return origin_; }
  // True when bytes() stay where they are, unchanged, for as long as the items live: a copy
  // of markup, or a bytes or str read in place.
  [[nodiscard]] bool lasting() const noexcept { return lasting_; }
  // The declarations in force around the element where its document has it (none for a copy
  // or the whole document): read from the document's start, so only for paths that need them.
  [[nodiscard]] std::vector<engine::Binding> outer_declarations() const;
  // What the loaded element is (its text, or that it has children), read once per load. May
  // throw bad_alloc.
  [[nodiscard]] const engine::ElementShape& shape() {
    if (memo_ != nullptr) {
      if (!memo_->shape) memo_->shape = engine::describe_element(bytes_, memo_->scratch);
      return *memo_->shape;
    }
    if (!shape_) shape_ = engine::describe_element(bytes_, scratch_);
    return *shape_;
  }

 private:
  // Whole: the document read (into `memo` once, where it keeps it), or null with an
  // exception set.
  [[nodiscard]] const SourceBytes* read_document(PyObject* source, ElementMemo* memo) noexcept;

  ElementMemo* memo_ = nullptr;  // the Result's, when bytes() last as long as it does
  SourceBytes source_;
  std::string_view bytes_;
  SpanOrigin origin_;
  bool lasting_ = false;
  std::optional<engine::ElementShape> shape_;
  std::string scratch_;  // a text the shape views when it is not in bytes()
};

// The text of an item: a text item's bytes as they are, or the text
// extracted from an element item. Untrimmed, not necessarily UTF-8.
class ItemText {
 public:
  ItemText() = default;
  ItemText(const ItemText&) = delete;
  ItemText& operator=(const ItemText&) = delete;
  [[nodiscard]] std::string_view bytes() const noexcept { return view_; }
  // False with an exception set when the source can no longer be read. May throw bad_alloc.
  [[nodiscard]] bool load(const PyItems& items, size_t i);

 private:
  ElementBytes element_;
  std::string owned_;
  std::string_view view_;
};

}  // namespace varnex::python
