// The append interface of the scan: spans, copies, counts and a filter's subject.
#include "engine/sink.hpp"

#include <limits>

#include "engine/engine.hpp"
#include "engine/internal.hpp"

namespace varnex::engine {

void Sink::element_slow(std::string_view doc, size_t start, size_t end, bool spans) {
  if (!keeps_next()) {
    ++size_;
    return;
  }
  if (end > doc.size()) end = doc.size();
  if (start > end) start = end;
  constexpr size_t kMaxSpan = std::numeric_limits<uint32_t>::max();
  if (spans && end <= kMaxSpan) {
    add(Span{static_cast<uint32_t>(start), static_cast<uint32_t>(end)}, doc);
  } else {
    // Offsets past 4 GiB cannot be a Span: keep the element as an owned copy.
    add(Markup{std::string(doc.substr(start, end - start))}, doc);
  }
}

void Sink::empty_element(std::string_view content) {
  if (!keeps_next()) {
    ++size_;
    return;
  }
  add(Markup{serialize_empty(content)}, {});
}

void Sink::value(std::string_view bytes) {
  switch (mode_) {
    case Mode::Keep:
      items().emplace_back(Value{std::string(bytes)});
      break;
    case Mode::Count:
      break;
    case Mode::First:
      if (size_ == 0) first_.assign(bytes);
      break;
  }
  ++size_;
}

void Sink::take(Sink& from, std::string_view doc) {
  if (from.mode_ == Mode::Count) {
    size_ += from.size_;  // counts only ever flow into counts
    return;
  }
  for (Item& item : from.items()) add(std::move(item), doc);
  from.items().clear();
}

void Sink::add(Item&& item, std::string_view doc) {
  switch (mode_) {
    case Mode::Keep:
      items().push_back(std::move(item));
      break;
    case Mode::Count:
      break;
    case Mode::First:
      if (size_ == 0) first_ = item_text(item, doc);
      break;
  }
  ++size_;
}

}  // namespace varnex::engine
