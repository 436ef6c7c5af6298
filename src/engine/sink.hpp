// Where one task's items go. Every item the scan finds is appended through here, so what a
// pass keeps of them (every item, a count, a test's answer, the last) is decided in this one
// place; whether an element is a span or a copy, by the span rule (item.hpp).
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/item.hpp"
#include "path/program.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

// Told of the items of one path as a pass appends them, so that a caller can use them (and
// end the pass) before the pass is over.
class NamespaceScope;

class ItemObserver {
 public:
  // `items` ends with what was just found, one item or more; `at` points at the first byte of
  // the first of them in the document when it is an element and that is known. The observer
  // may take items away (clear them); it returns false to end the pass here.
  virtual bool found(Items& items, const char* at) = 0;

  // With reads_inside set, asked to pass each element found that the pass does not enter,
  // as reader.pass_child(tag.name()) does, before it is found (`tag` its start tag, just read,
  // whose '<' is at `start`): the observer may read the element on the way.
  virtual void pass_inside(xml::Reader& reader, const xml::Event& tag, size_t start) {
    (void)start;
    reader.pass_child(tag.name());
  }

  // Set before the pass by an observer that passes the elements found itself (pass_inside).
  bool reads_inside = false;
  // Set before the pass by an observer that needs them: during found(), `scope` then holds
  // (as marked()) the declarations in force around the elements found.
  bool wants_scope = false;
  const NamespaceScope* scope = nullptr;

 protected:
  ItemObserver() = default;
  ItemObserver(const ItemObserver&) = default;
  ItemObserver& operator=(const ItemObserver&) = default;
  ~ItemObserver() = default;
};

class Sink {
 public:
  enum class Mode : uint8_t {
    Keep,   // every item, in order
    Count,  // only how many
    Test,   // only whether some item's text passes a filter's test
    Last,   // only the last item (a first modifier @last)
  };

  Sink() = default;
  // Keep into `items` (nullptr: a list of the sink's own), or Count, or Test against `test`.
  void reset(Mode mode, Items* items, const path::FilterTest* test = nullptr) noexcept {
    mode_ = mode;
    size_ = 0;
    items_ = items;
    test_ = test;
    own_.clear();
    matched_ = false;
    last_element_ = false;
    pending_ = false;
    observer_ = nullptr;
  }
  // Keep: `observer` hears of every item appended; when it asks, `*stop` is set (the scan's
  // own flag, which ends it at the next event).
  [[nodiscard]] ItemObserver* observer() const noexcept { return observer_; }
  void observe(ItemObserver* observer, bool* stop) noexcept {
    observer_ = observer;
    stop_ = stop;
  }

  // The element doc[start, end): a span, or a copy where the span rule says so.
  [[gnu::always_inline]] void element(std::string_view doc, size_t start, size_t end, bool spans) {
    if (mode_ == Mode::Keep && as_span(spans, start, end, doc.size())) [[likely]] {
      items().push_span(static_cast<uint32_t>(start), static_cast<uint32_t>(end));
      ++size_;
      if (observer_ != nullptr) [[unlikely]]
        tell(doc.data() + start);
      return;
    }
    element_slow(doc, start, end, spans);
  }
  // An empty-element tag, from its content: always a copy, as written.
  void empty_element(std::string_view content);
  void value(std::string_view bytes) {
    if (mode_ == Mode::Keep) [[likely]] {
      items().push_value(bytes);
      ++size_;
      if (observer_ != nullptr) [[unlikely]]
        tell(nullptr);
      return;
    }
    value_slow(bytes);
  }
  // Count: one more item (no observer hears of counted items).
  void count_one() noexcept { count(1); }
  void count(uint64_t items) noexcept {
    assert(mode_ == Mode::Count && observer_ == nullptr);
    size_ += items;
  }
  // Items found by another task, moved over in order (a filter's rest, once it held).
  void take(Sink& from, std::string_view doc);

  [[nodiscard]] Mode mode() const noexcept { return mode_; }
  // Items appended so far, whatever the mode keeps of them.
  [[nodiscard]] uint64_t size() const noexcept { return size_; }
  // Whether the sink has what it needs: an item that passes the test, or (in any other mode)
  // an item at all.
  [[nodiscard]] bool matched() const noexcept { return mode_ == Mode::Test ? matched_ : size_ > 0; }
  // Keep: the list (the caller's or the sink's own).
  [[nodiscard]] Items& items() noexcept { return items_ != nullptr ? *items_ : own_; }
  // Whether the next item is looked at beyond being counted.
  [[nodiscard]] bool keeps_next() const noexcept {
    return mode_ == Mode::Keep || mode_ == Mode::Last || (mode_ == Mode::Test && !matched_);
  }
  // Last: the item kept is an element taken whole (span or copy), not a value.
  [[nodiscard]] bool last_is_element() const noexcept { return last_element_; }
  // Last: an element that must be a copy is copied only once it is known to stay the last:
  // its bytes in `doc`, to be appended to items() when the pass is over, if there is one.
  [[nodiscard]] std::optional<std::string_view> pending_copy(std::string_view doc) const {
    if (!pending_) return std::nullopt;
    return doc.substr(pending_start_, pending_end_ - pending_start_);
  }

 private:
  void element_slow(std::string_view doc, size_t start, size_t end, bool spans);
  void tell(const char* at) {
    if (!observer_->found(items(), at)) *stop_ = true;
  }
  void value_slow(std::string_view bytes);
  // Test: one more item's text, until one passes.
  void offer(std::string_view text) {
    if (!matched_) matched_ = passes_test(text);
  }
  [[nodiscard]] bool passes_test(std::string_view text) const;
  // Last: the item about to be kept replaces the one kept so far.
  void replace_last(bool element) {
    items().clear();
    last_element_ = element;
    pending_ = false;
  }

  Mode mode_ = Mode::Keep;
  uint64_t size_ = 0;
  Items* items_ = nullptr;
  Items own_;
  const path::FilterTest* test_ = nullptr;  // Test
  bool matched_ = false;                    // Test: some item passed
  bool last_element_ = false;
  bool pending_ = false;
  size_t pending_start_ = 0;
  size_t pending_end_ = 0;
  ItemObserver* observer_ = nullptr;
  bool* stop_ = nullptr;
};

}  // namespace varnex::engine
