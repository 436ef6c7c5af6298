// The compact item list: entries, owned copies in one buffer, and reordering.
#include "engine/item.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace varnex::engine {

void Items::push_owned(std::string_view bytes, bool markup) {
  // Owned copy numbers must stay below the tag, so that a > b tells them from spans.
  if (owned_ends_.size() >= kOwnedTag) throw std::length_error("too many owned items");
  entries_.push_back(Entry{kOwnedTag, static_cast<uint32_t>(owned_ends_.size())});
  arena_.append(bytes);
  owned_ends_.push_back(arena_.size() | (markup ? kMarkupBit : 0));
}

void Items::push_element(std::string_view doc, size_t start, size_t end, bool spans) {
  end = std::min(end, doc.size());
  start = std::min(start, end);
  if (as_span(spans, start, end, doc.size())) {
    push_span(static_cast<uint32_t>(start), static_cast<uint32_t>(end));
  } else {
    push_markup(doc.substr(start, end - start));
  }
}

void Items::push_from(const Items& from, size_t i) {
  switch (from.kind(i)) {
    case ItemKind::Span: entries_.push_back(from.entries_[i]); break;
    case ItemKind::Markup: push_markup(from.owned(i)); break;
    case ItemKind::Value: push_value(from.owned(i)); break;
  }
}

void Items::push_back(const Item& item) {
  if (const auto* span = std::get_if<Span>(&item)) {
    if (span->start <= span->end) {
      push_span(span->start, span->end);
    } else {
      push_span(span->start, span->start);  // a reversed range covers nothing
    }
  } else if (const auto* markup = std::get_if<Markup>(&item)) {
    push_markup(markup->bytes);
  } else {
    push_value(std::get<Value>(item).bytes);
  }
}

void Items::append(Items&& other) {
  if (empty()) {
    std::swap(entries_, other.entries_);
    std::swap(owned_ends_, other.owned_ends_);
    std::swap(arena_, other.arena_);
  } else {
    // Grown geometrically: appending one item at a time must not copy the list each time.
    const size_t needed = entries_.size() + other.size();
    if (needed > entries_.capacity()) entries_.reserve(std::max(needed, 2 * entries_.capacity()));
    for (size_t i = 0; i < other.size(); ++i) push_from(other, i);
  }
  other.clear();
}

std::string_view Items::owned(size_t i) const noexcept {
  const uint32_t n = entries_[i].b;
  const size_t begin = n == 0 ? 0 : static_cast<size_t>(owned_ends_[n - 1] & ~kMarkupBit);
  const size_t end = static_cast<size_t>(owned_ends_[n] & ~kMarkupBit);
  return std::string_view(arena_).substr(begin, end - begin);
}

std::string_view Items::bytes(size_t i, std::string_view doc) const noexcept {
  if (!is_span(i)) return owned(i);
  const Entry e = entries_[i];
  const size_t end = std::min<size_t>(e.b, doc.size());
  const size_t start = std::min<size_t>(e.a, end);
  return doc.substr(start, end - start);
}

Item Items::operator[](size_t i) const {
  switch (kind(i)) {
    case ItemKind::Span: return span(i);
    case ItemKind::Markup: return Markup{std::string(owned(i))};
    case ItemKind::Value: break;
  }
  return Value{std::string(owned(i))};
}

void Items::select(std::span<const size_t> order) {
  std::vector<Entry> kept;
  kept.reserve(order.size());
  for (const size_t i : order) kept.push_back(entries_[i]);
  entries_ = std::move(kept);
}

void Items::reverse() noexcept { std::reverse(entries_.begin(), entries_.end()); }

void Items::keep(size_t first, size_t count) noexcept {
  first = std::min(first, entries_.size());
  count = std::min(count, entries_.size() - first);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(first + count), entries_.end());
  entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(first));
}

void Items::shift_spans(uint32_t base) noexcept {
  for (Entry& e : entries_) {
    if (e.a <= e.b) {
      e.a += base;
      e.b += base;
    }
  }
}

void Items::copy_spans(std::string_view doc) {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!is_span(i)) continue;
    push_markup(bytes(i, doc));  // appends an entry at the end: move it into place
    entries_[i] = entries_.back();
    entries_.pop_back();
  }
}

}  // namespace varnex::engine
