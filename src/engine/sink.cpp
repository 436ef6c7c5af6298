// The append interface of the scan: spans, copies, counts and a filter's subject.
#include "engine/sink.hpp"

#include "engine/engine.hpp"
#include "engine/internal.hpp"

namespace varnex::engine {

bool Sink::passes_test(std::string_view text) const { return passes(text, *test_); }

void Sink::element_slow(std::string_view doc, size_t start, size_t end, bool spans) {
  if (!keeps_next()) {
    ++size_;
    return;
  }
  if (end > doc.size()) end = doc.size();
  if (start > end) start = end;
  const std::string_view bytes = doc.substr(start, end - start);
  if (mode_ == Mode::Last) replace_last(true);
  if (mode_ == Mode::Test) {
    offer(extract_element_text(bytes));
  } else if (as_span(spans, start, end, doc.size())) {
    items().push_span(static_cast<uint32_t>(start), static_cast<uint32_t>(end));
  } else if (mode_ == Mode::Last) {
    pending_ = true;
    pending_start_ = start;
    pending_end_ = end;
  } else {
    items().push_markup(bytes);
  }
  ++size_;
  if (observer_ != nullptr && mode_ == Mode::Keep) tell(bytes.data());
}

void Sink::empty_element(std::string_view content) {
  if (!keeps_next()) {
    ++size_;
    return;
  }
  const std::string markup = serialize_empty(content);
  if (mode_ == Mode::Last) replace_last(false);
  if (mode_ == Mode::Test) {
    offer(extract_element_text(markup));
  } else {
    items().push_markup(markup);
  }
  ++size_;
  // The tag's content starts just after its '<'.
  if (observer_ != nullptr && mode_ == Mode::Keep) tell(content.data() - 1);
}

void Sink::value_slow(std::string_view bytes) {
  switch (mode_) {
    case Mode::Keep:
      items().push_value(bytes);
      ++size_;
      if (observer_ != nullptr) tell(nullptr);
      return;
    case Mode::Count: break;
    case Mode::Test: offer(bytes); break;
    case Mode::Last:
      replace_last(false);
      items().push_value(bytes);
      break;
  }
  ++size_;
}

void Sink::take(Sink& from, std::string_view doc) {
  if (from.mode_ == Mode::Count) {
    size_ += from.size_;  // counts only ever flow into counts
    return;
  }
  Items& found = from.items();
  const size_t count = found.size();
  switch (mode_) {
    case Mode::Keep: items().append(std::move(found)); break;
    case Mode::Count: break;
    case Mode::Test:
      for (size_t i = 0; i < count && !matched_; ++i) offer(item_text(found, i, doc));
      break;
    case Mode::Last:
      if (count > 0) {
        replace_last(false);
        items().push_back(found[count - 1]);
      }
      break;
  }
  size_ += count;
  found.clear();  // NOLINT(bugprone-use-after-move): a moved-from Items is valid, kept for reuse
  if (observer_ != nullptr && mode_ == Mode::Keep && count > 0) tell(nullptr);
}

}  // namespace varnex::engine
