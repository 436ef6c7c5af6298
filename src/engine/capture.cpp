// Captures on single elements: name tests, element copies or spans, attributes, empty elements.
#include <limits>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "xml/attributes.hpp"
#include "xml/encoding.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

void capture_element(std::string_view doc, size_t start, size_t end, bool capture_spans,
                     Items& items) {
  if (end > doc.size()) end = doc.size();
  if (start > end) start = end;
  constexpr size_t kMaxSpan = std::numeric_limits<uint32_t>::max();
  if (capture_spans && end <= kMaxSpan) {
    items.emplace_back(Span{static_cast<uint32_t>(start), static_cast<uint32_t>(end)});
  } else {
    // Offsets past 4 GiB cannot be a Span: keep the element as an owned copy.
    items.emplace_back(Markup{std::string(doc.substr(start, end - start))});
  }
}

std::optional<std::string_view> read_attr_view(std::string_view content, size_t name_len,
                                               std::string_view name, std::string& scratch) {
  xml::Attributes attrs(content, name_len, /*with_checks=*/true);
  xml::AttrItem item;
  while (attrs.next(&item)) {
    if (item.error != xml::AttrErrorKind::None) continue;  // malformed entries are skipped
    if (local_name_bytes(item.key) != name) continue;
    const std::string_view raw = item.value;
    if (!xml::is_valid_utf8(raw)) return raw;
    std::string_view out;
    if (xml::unescape(raw, scratch, &out) != xml::UnescapeStatus::Ok) return raw;
    return out;
  }
  return std::nullopt;
}

std::optional<std::string> read_attr(const xml::Event& start, std::string_view name) {
  std::string scratch;
  auto v = read_attr_view(start.content, start.name_len, name, scratch);
  if (!v) return std::nullopt;
  return std::string(*v);
}

std::string serialize_empty(std::string_view content) {
  std::string out;
  out.reserve(content.size() + 3);
  out += '<';
  out += content;
  out += "/>";
  return out;
}

void handle_empty_inner(const xml::Event& empty, std::span<const path::Step> rest, Items& items) {
  if (rest.empty()) {
    // An empty element is always an owned copy, whatever capture_spans says.
    items.emplace_back(Markup{serialize_empty(empty.content)});
    return;
  }
  const path::Step& next = rest.front();
  switch (next.kind) {
    case path::StepKind::Text:
      items.emplace_back(Value{});
      break;
    case path::StepKind::Attr:
      if (auto v = read_attr(empty, next.attr)) items.emplace_back(Value{std::move(*v)});
      break;
    case path::StepKind::Element:
      break;  // an empty element has no children
  }
}

MatchOutcome handle_match_empty(const xml::Event& empty, const path::Selector& selector,
                                uint64_t count, std::span<const path::Step> rest, Items& items) {
  const size_t before = items.size();
  switch (selector.kind) {
    case path::SelectorKind::Bare:
    case path::SelectorKind::Each:
      handle_empty_inner(empty, rest, items);
      return {{}, items.size() > before};
    case path::SelectorKind::Index:
      if (count == selector.index + 1) handle_empty_inner(empty, rest, items);
      return {{}, items.size() > before};
    case path::SelectorKind::Count:
      return {{}, false};
    case path::SelectorKind::FilterFirst:
    case path::SelectorKind::FilterAll: {
      if (!selector.filter) return {{}, false};
      const std::string bytes = serialize_empty(empty.content);
      const FilterOutcome f = eval_filter(bytes, *selector.filter);
      if (f.outcome.stops()) return {f.outcome, false};
      if (!f.holds) return {{}, false};
      const Outcome o = apply_within_fragment_raw(bytes, rest, items);
      if (o.flow == Flow::Ambiguous) return {o, false};
      return {{}, true};
    }
  }
  return {{}, false};
}

}  // namespace varnex::engine
