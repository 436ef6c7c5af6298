// The walk over one element's markup, through the query reader.
#include "engine/element_walk.hpp"

#include <string>

#include "engine/internal.hpp"
#include "xml/attributes.hpp"
#include "xml/reader.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {
namespace {

bool visit_tag(const xml::Event& ev, ElementVisitor& visitor, std::string& scratch) {
  if (!visitor.start(ev.name())) return false;
  xml::Attributes attributes(ev, /*with_checks=*/true);
  xml::AttrItem item;
  while (attributes.next(&item)) {
    if (item.error != xml::AttrErrorKind::None) continue;  // duplicates and broken entries
    if (!visitor.attribute(item.key, attribute_value(item.value, scratch))) return false;
  }
  return true;
}

}  // namespace

bool walk_element(std::string_view element, ElementVisitor& visitor) {
  xml::Reader reader(element, xml::Config::query());
  std::string scratch;
  std::string scratch_unescape;
  size_t depth = 0;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        if (!visit_tag(ev, visitor, scratch)) return false;
        ++depth;
        break;
      case xml::EventKind::Empty:
        if (!visit_tag(ev, visitor, scratch) || !visitor.end()) return false;
        if (depth == 0) return true;
        break;
      case xml::EventKind::End:
        if (depth == 0) break;  // before the element: not ours
        if (!visitor.end()) return false;
        if (--depth == 0) return true;
        break;
      case xml::EventKind::Text: {
        if (depth == 0) break;
        if (!visitor.text(text_piece(ev.encoding, ev.content, scratch, scratch_unescape))) {
          return false;
        }
        break;
      }
      case xml::EventKind::CData:
        if (depth > 0 && !visitor.text(ev.content)) return false;
        break;
      case xml::EventKind::Eof:
        for (; depth > 0; --depth) {
          if (!visitor.end()) return false;
        }
        return true;
      default: break;  // comments, processing instructions, errors (a fatal one is followed by Eof)
    }
  }
}

}  // namespace varnex::engine
