// Where a document is cut among threads (see ranges.hpp).
#include "engine/ranges.hpp"

#include <algorithm>

#include "engine/engine.hpp"
#include "xml/chars.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

namespace {

// The root's children looked at to choose the name cuts are put before, and how far.
constexpr size_t kSampleChildren = 16;
constexpr size_t kSampleBytes = size_t{1} << 20;

}  // namespace

std::optional<Root> find_root(std::string_view doc) noexcept {
  xml::Reader reader(doc, xml::Config::query());
  Root root;
  for (;;) {
    const xml::Event ev = reader.read_event();
    if (ev.kind == xml::EventKind::Start) break;
    if (ev.kind == xml::EventKind::Empty || ev.kind == xml::EventKind::End ||
        ev.kind == xml::EventKind::Eof || ev.kind == xml::EventKind::Error) {
      return std::nullopt;
    }
  }
  root.content = reader.buffer_position();
  // The name most of the first children have: records, not a header before them (a dump's
  // <siteinfo> before its pages).
  std::string_view names[kSampleChildren];
  size_t counts[kSampleChildren] = {};
  size_t distinct = 0;
  size_t seen = 0;
  while (seen < kSampleChildren && reader.buffer_position() - root.content < kSampleBytes) {
    const xml::Event ev = reader.read_event();
    if (ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty) {
      const std::string_view name = ev.name();
      size_t i = 0;
      while (i < distinct && names[i] != name) ++i;
      if (i == distinct) names[distinct++] = name;
      ++counts[i];
      ++seen;
      if (ev.kind == xml::EventKind::Start) reader.pass_child(name);
    } else if (ev.kind == xml::EventKind::End || ev.kind == xml::EventKind::Eof ||
               ev.kind == xml::EventKind::Error) {
      break;
    }
  }
  if (distinct == 0) return std::nullopt;
  size_t best = 0;
  for (size_t i = 1; i < distinct; ++i) {
    if (counts[i] >= counts[best]) best = i;  // a tie goes to the later: headers come first
  }
  root.child = names[best];
  return root;
}

size_t range_count(std::string_view doc, unsigned threads) noexcept {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  return std::max<size_t>(1, std::min<size_t>(threads, doc.size() / kMinRange));
}

bool worth_cutting(std::string_view doc, unsigned threads) noexcept {
  return range_count(doc, threads) > 1;
}

size_t next_cut(std::string_view doc, size_t at, const Root& root) noexcept {
  const std::string_view child = root.child;
  at = std::max(at, root.content);
  // A tag of the records' name, just after a markup's end: most likely the start of one of
  // the root's children (checked when the range before it ends).
  for (;;) {
    at = doc.find('<', at);
    if (at == std::string_view::npos) return std::string_view::npos;
    const size_t after = at + 1 + child.size();
    if (after < doc.size() && doc.compare(at + 1, child.size(), child) == 0) {
      const char next = doc[after];
      size_t before = at;
      while (before > root.content && xml::is_ws(doc[before - 1])) --before;
      if ((next == '>' || next == '/' || xml::is_ws(next)) && before > root.content &&
          doc[before - 1] == '>') {
        return at;
      }
    }
    ++at;
  }
}

std::vector<size_t> choose_cuts(std::string_view doc, const Root& root, size_t parts) {
  std::vector<size_t> cuts;
  const size_t body = doc.size() - root.content;
  size_t last = root.content;
  for (size_t k = 1; k < parts; ++k) {
    const size_t at =
        next_cut(doc, std::max(root.content + body / parts * k, last + kMinRange), root);
    if (at == std::string_view::npos || doc.size() - at < kMinRange) break;
    cuts.push_back(at);
    last = at;
  }
  return cuts;
}

std::vector<size_t> cuts_for(std::string_view doc, const Root& root, size_t parts,
                             std::span<const size_t> given) {
  if (given.empty()) return choose_cuts(doc, root, parts);
  std::vector<size_t> cuts;
  for (const size_t cut : given) {
    if (cut > root.content && cut < doc.size() && (cuts.empty() || cut > cuts.back())) {
      cuts.push_back(cut);
    }
  }
  return cuts;
}

bool ends_between_children(std::string_view doc, size_t from) noexcept {
  xml::Reader reader(doc, xml::Config::query());
  for (;;) {
    const xml::Event ev = reader.read_event();
    if (ev.kind == xml::EventKind::Start) {
      reader.resume_at(from);
      return reader.read_to_end(ev.name()) == xml::ErrorKind::MissingEndTag && reader.at_end() &&
             reader.depth() == 1 && !reader.ended_in_markup();
    }
    if (ev.kind == xml::EventKind::Empty || ev.kind == xml::EventKind::End ||
        ev.kind == xml::EventKind::Eof || ev.kind == xml::EventKind::Error) {
      return false;
    }
  }
}

}  // namespace varnex::engine
