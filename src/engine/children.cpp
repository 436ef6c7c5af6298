// Direct children of one element's bytes, for the dictionary view of a result, and whether
// those bytes are a whole element.
#include <unordered_set>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "xml/markup.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

bool element_has_child_elements(std::string_view element) noexcept {
  if (simple_text_bytes(element)) return false;  // the usual leaf, without a reader
  return reads_child_elements(element);
}

bool reads_child_elements(std::string_view element) noexcept {
  xml::Reader reader(element, xml::Config::query());
  bool inside = false;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        if (inside) return true;
        inside = true;
        break;
      case xml::EventKind::Empty: return inside;
      case xml::EventKind::End:
      case xml::EventKind::Eof: return false;
      default: break;
    }
  }
}

std::optional<std::string_view> first_element_name(std::string_view bytes) noexcept {
  xml::Reader reader(bytes, xml::Config::query());
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
      case xml::EventKind::Empty: return ev.name();
      case xml::EventKind::Eof:
      case xml::EventKind::End: return std::nullopt;
      default: break;
    }
  }
}

std::vector<ChildSpan> collect_direct_children(std::string_view element) {
  std::vector<ChildSpan> children;
  xml::Reader reader(element, xml::Config::query());
  bool inside = false;
  for (;;) {
    const size_t start = reader.buffer_position();
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        if (!inside) {
          inside = true;
        } else {
          const std::string_view name = ev.name();
          (void)reader.read_to_end(name);  // a missing end tag leaves the reader at the end
          children.push_back(ChildSpan{std::string(name), start, reader.buffer_position()});
        }
        break;
      case xml::EventKind::Empty:
        if (!inside) return children;
        children.push_back(ChildSpan{std::string(ev.name()), start, reader.buffer_position()});
        break;
      case xml::EventKind::End:
      case xml::EventKind::Eof: return children;
      default: break;
    }
  }
}

bool element_is_closed(std::string_view element) noexcept {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  if (element.size() < 3 || element[0] != '<' || element.back() != '>') return false;
  size_t name_end = 1;
  while (name_end < element.size() && !is_space(element[name_end]) && element[name_end] != '/' &&
         element[name_end] != '>') {
    ++name_end;
  }
  const std::string_view name = element.substr(1, name_end - 1);
  size_t end = element.size() - 1;  // the final '>'
  while (end > 0 && is_space(element[end - 1])) --end;
  if (end >= name.size() + 2 && element.substr(end - name.size() - 2, 2) == "</" &&
      element.substr(end - name.size(), name.size()) == name) {
    return true;
  }
  // One empty-element tag: the '>' that ends its tag is the last byte, after a '/'.
  const char* const stop = element.data() + element.size();
  const char* gt = xml::detail::find_tag_end(element.data() + name_end, stop);
  return gt != nullptr && gt + 1 == stop && gt[-1] == '/';
}

std::vector<std::string_view> unique_child_names(const std::vector<ChildSpan>& children) {
  std::vector<std::string_view> names;
  std::unordered_set<std::string_view> seen;
  for (const ChildSpan& c : children) {
    if (seen.insert(c.name).second) names.push_back(c.name);
  }
  return names;
}

}  // namespace varnex::engine
