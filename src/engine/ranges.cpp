// Where a document is cut among threads (see ranges.hpp).
#include "engine/ranges.hpp"

#include "engine/engine.hpp"

#include <algorithm>
#include <string>

#include "xml/chars.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

std::optional<Root> find_root(std::string_view doc) noexcept {
  xml::Reader reader(doc, xml::Config::query());
  Root root;
  bool in_root = false;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        if (in_root) {
          root.child = ev.name();
          return root;
        }
        in_root = true;
        root.content = reader.buffer_position();
        break;
      case xml::EventKind::Empty:
        if (!in_root) return std::nullopt;
        root.child = ev.name();
        return root;
      case xml::EventKind::End:
      case xml::EventKind::Eof:
      case xml::EventKind::Error:
        return std::nullopt;
      default:
        break;
    }
  }
}

size_t range_count(std::string_view doc, unsigned threads) noexcept {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  return std::max<size_t>(1, std::min<size_t>(threads, doc.size() / kMinRange));
}

bool worth_cutting(std::string_view doc, unsigned threads) noexcept {
  return range_count(doc, threads) > 1;
}

std::vector<size_t> choose_cuts(std::string_view doc, const Root& root, size_t parts) {
  std::vector<size_t> cuts;
  const size_t body = doc.size() - root.content;
  std::string needle = "<";
  needle.append(root.child);
  size_t last = root.content;
  for (size_t k = 1; k < parts; ++k) {
    size_t at = std::max(root.content + body / parts * k, last + kMinRange);
    // A child of the root's first child's name, just after a markup's end: most likely the
    // start of one of the root's children (checked when its range ends).
    for (;;) {
      at = doc.find(needle, at);
      if (at == std::string_view::npos) return cuts;
      const size_t after = at + needle.size();
      const char next = after < doc.size() ? doc[after] : '\0';
      size_t before = at;
      while (before > root.content && xml::is_ws(doc[before - 1])) --before;
      if ((next == '>' || next == '/' || xml::is_ws(next)) && before > root.content &&
          doc[before - 1] == '>') {
        break;
      }
      ++at;
    }
    if (doc.size() - at < kMinRange) break;
    cuts.push_back(at);
    last = at;
  }
  return cuts;
}

}  // namespace varnex::engine
