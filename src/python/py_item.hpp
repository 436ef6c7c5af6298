// PyItem: what a Result holds, and how engine items become PyItems.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/item.hpp"
#include "python/ref.hpp"
#include "python/source.hpp"

namespace varnex::python {

// Owned bytes: attribute values, texts, counts, modifier outputs. Maybe not UTF-8.
struct TextItem {
  std::string bytes;
};
// A copy of one element's markup, shared between Results without copying.
struct OwnedItem {
  std::shared_ptr<const std::string> markup;
};
// The whole document object is the element (made only by parse).
struct WholeItem {
  Ref source;
};
// One element inside the document object, by byte offsets.
struct SpanItem {
  Ref source;
  uint32_t start = 0;
  uint32_t end = 0;
};

using PyItem = std::variant<TextItem, OwnedItem, WholeItem, SpanItem>;
using PyItems = std::vector<PyItem>;

[[nodiscard]] inline bool is_text_item(const PyItem& item) noexcept {
  return std::holds_alternative<TextItem>(item);
}

// A copy for another Result: text bytes are duplicated, markup shared, sources
// referenced once more.
[[nodiscard]] PyItem clone_ref(const PyItem& item);

// Items of a pass over borrowed bytes (`doc`): element matches become Owned.
[[nodiscard]] PyItems lift(engine::Items&& items, std::string_view doc);
// Items of a pass over `source`'s own bytes (`doc`): spans keep a reference to it.
[[nodiscard]] PyItems lift_with_source(engine::Items&& items, PyObject* source,
                                       std::string_view doc);

// The element bytes of an element item, valid while this object lives (a
// buffer view, when the source needs one, is held exactly that long).
class ElementBytes {
 public:
  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }
  // False with the source rule's exception set.
  [[nodiscard]] bool load(const PyItem& item) noexcept;
  // True when no Python code can change bytes() meanwhile: a copy of markup
  // (which loads no source bytes), or a source whose bytes are immutable.
  [[nodiscard]] bool is_immutable() const noexcept {
    return source_.bytes().empty() || source_.is_immutable();
  }

 private:
  SourceBytes source_;
  std::string_view bytes_;
};

// The text of an item: a text item's bytes as they are, or the text
// extracted from an element item. Untrimmed, not necessarily UTF-8.
class ItemText {
 public:
  ItemText() = default;
  ItemText(const ItemText&) = delete;
  ItemText& operator=(const ItemText&) = delete;
  [[nodiscard]] std::string_view bytes() const noexcept { return view_; }
  // False with the source rule's exception set. May throw bad_alloc.
  [[nodiscard]] bool load(const PyItem& item);

 private:
  std::string owned_;
  std::string_view view_;
};

}  // namespace varnex::python
