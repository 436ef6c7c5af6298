// Well-formedness: the strict reader accepts everything, one root, every element closed.
#include "engine/engine.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

bool validate(std::string_view doc) noexcept {
  xml::Reader reader(doc, xml::Config::validation());
  bool root_seen = false;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Error:
      case xml::EventKind::End:  // nothing is open outside the root
        return false;
      case xml::EventKind::Start:
        if (root_seen) return false;
        root_seen = true;
        // The root's content in one skip: every end name is checked on the way.
        if (reader.read_to_end(ev.name()) != xml::ErrorKind::None) return false;
        break;
      case xml::EventKind::Empty:
        if (root_seen) return false;
        root_seen = true;
        break;
      case xml::EventKind::Eof:
        return root_seen;
      default:
        break;
    }
  }
}

}  // namespace varnex::engine
