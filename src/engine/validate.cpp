// Well-formedness: the strict reader accepts everything, one root, every element closed.
#include "engine/engine.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

bool validate(std::string_view doc) noexcept {
  xml::Reader reader(doc, xml::Config::validation());
  size_t depth = 0;
  bool root_seen = false;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Error:
        return false;
      case xml::EventKind::Start:
        if (depth == 0) {
          if (root_seen) return false;
          root_seen = true;
        }
        ++depth;
        break;
      case xml::EventKind::End:
        if (depth == 0) return false;
        --depth;
        break;
      case xml::EventKind::Empty:
        if (depth == 0) {
          if (root_seen) return false;
          root_seen = true;
        }
        break;
      case xml::EventKind::Eof:
        return depth == 0 && root_seen;
      default:
        break;
    }
  }
}

}  // namespace varnex::engine
