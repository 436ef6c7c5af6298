// Engine results: matched items, held compactly, and the engine's error value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace varnex::engine {

// One item as a value, for building lists and looking at them one by one; a list does not
// store these (see Items).
//
// Owned copy of one element's markup.
struct Markup {
  std::string bytes;
};
// Half-open byte range of one element's markup within the document.
struct Span {
  uint32_t start = 0;
  uint32_t end = 0;
};
// Owned bytes (attribute values, text, counts); not necessarily UTF-8.
struct Value {
  std::string bytes;
};

using Item = std::variant<Markup, Span, Value>;

enum class ItemKind : uint8_t { Span, Markup, Value };

// The span-or-copy rule, decided here only. Elements found in some bytes may be spans into
// them (two 32-bit offsets) when the bytes stay where they are, unchanged, for as long as the
// items do (`lasting`: whoever keeps the items keeps what holds the bytes) and every offset
// into them fits; anything else is kept as a copy of its bytes.
inline constexpr size_t kSpanLimit = UINT32_MAX;
[[nodiscard]] constexpr bool keeps_spans(size_t size, bool lasting) noexcept {
  return lasting && size <= kSpanLimit;
}
// Whether doc[start, end), found by a pass that may keep spans (`spans`), is kept as one: it
// must lie within `doc`, under the limit.
[[nodiscard]] constexpr bool as_span(bool spans, size_t start, size_t end,
                                     size_t doc_size) noexcept {
  return spans && end <= doc_size && end <= kSpanLimit && start <= end;
}

// The items of one path, in order. Each takes 8 bytes: a span of the document, or the
// number of an owned copy, whose bytes all share one buffer. A list of spans is thus two
// offsets an item, and reordering or dropping items moves entries only.
class Items {
 public:
  [[nodiscard]] size_t size() const noexcept { return entries_.size(); }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  void clear() noexcept {
    entries_.clear();
    owned_ends_.clear();
    arena_.clear();
  }
  void reserve(size_t count) { entries_.reserve(count); }

  // doc[start, end); start <= end.
  void push_span(uint32_t start, uint32_t end) { entries_.push_back(Entry{start, end}); }
  void push_markup(std::string_view bytes) { push_owned(bytes, true); }
  void push_value(std::string_view bytes) { push_owned(bytes, false); }
  // The element doc[start, end) (clamped to `doc`): a span when as_span says so, else a copy.
  void push_element(std::string_view doc, size_t start, size_t end, bool spans);
  // Item `i` of `from`, in the form it has there.
  void push_from(const Items& from, size_t i);
  void push_back(const Item& item);
  template <class T>
  void emplace_back(T&& item) {
    push_back(Item(std::forward<T>(item)));
  }
  // Every item of `other` after these, in order; `other` is left empty.
  void append(Items&& other);

  [[nodiscard]] ItemKind kind(size_t i) const noexcept {
    const Entry e = entries_[i];
    if (e.a <= e.b) return ItemKind::Span;
    return (owned_ends_[e.b] & kMarkupBit) != 0 ? ItemKind::Markup : ItemKind::Value;
  }
  [[nodiscard]] bool is_span(size_t i) const noexcept { return entries_[i].a <= entries_[i].b; }
  // A span item's offsets.
  [[nodiscard]] Span span(size_t i) const noexcept { return Span{entries_[i].a, entries_[i].b}; }
  // A markup or value item's bytes.
  [[nodiscard]] std::string_view owned(size_t i) const noexcept;
  // The bytes of item i: a span's within `doc` (clamped to it), or the owned ones.
  [[nodiscard]] std::string_view bytes(size_t i, std::string_view doc) const noexcept;

  // A copy of item i as a value.
  [[nodiscard]] Item operator[](size_t i) const;
  [[nodiscard]] Item back() const { return (*this)[size() - 1]; }

  // Reading the list as values: each step makes a copy of one item.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Item;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Item;
    const_iterator(const Items* items, size_t i) noexcept : items_(items), i_(i) {}
    Item operator*() const { return (*items_)[i_]; }
    const_iterator& operator++() noexcept {
      ++i_;
      return *this;
    }
    bool operator==(const const_iterator& other) const noexcept { return i_ == other.i_; }

   private:
    const Items* items_;
    size_t i_;
  };
  [[nodiscard]] const_iterator begin() const noexcept { return {this, 0}; }
  [[nodiscard]] const_iterator end() const noexcept { return {this, size()}; }

  // Keeps the items at `order` (indexes into this list), in that order.
  void select(std::span<const size_t> order);
  void reverse() noexcept;
  // Keeps `count` items from `first` on.
  void keep(size_t first, size_t count) noexcept;
  // Moves every span `base` bytes on: for items found in bytes that start at `base` (every
  // shifted offset must still fit in 32 bits).
  void shift_spans(uint32_t base) noexcept;
  // Turns every span into an owned copy of its bytes within `doc`.
  void copy_spans(std::string_view doc);

 private:
  // a <= b: the span [a, b). a > b: owned copy number b.
  struct Entry {
    uint32_t a;
    uint32_t b;
  };
  static constexpr uint64_t kMarkupBit = uint64_t{1} << 63;
  static constexpr uint32_t kOwnedTag = UINT32_MAX;

  void push_owned(std::string_view bytes, bool markup);

  std::vector<Entry> entries_;
  // Per owned copy: where its bytes end in `arena_` (they start where the previous one's
  // end), with kMarkupBit set for markup.
  std::vector<uint64_t> owned_ends_;
  std::string arena_;
};

// The only error that leaves the engine: a step that must be unique matched twice.
struct EngineError {
  std::string name;      // the step's name text
  size_t offset = 0;     // where its second match starts, in the bytes the pass read
  uint32_t program = 0;  // which of the pass's paths met it, as the caller numbered them
};

}  // namespace varnex::engine
