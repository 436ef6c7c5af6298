// Well-formedness: the strict reader accepts everything, one root, every element closed.
#include <atomic>

#include "engine/engine.hpp"
#include "engine/ranges.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

namespace {

// What is left after the root: anything but another element or an end tag.
bool rest_is_valid(xml::Reader& reader) noexcept {
  for (;;) {
    switch (reader.read_event().kind) {
      case xml::EventKind::Error:
      case xml::EventKind::End:
      case xml::EventKind::Start:
      case xml::EventKind::Empty: return false;
      case xml::EventKind::Eof: return true;
      default: break;
    }
  }
}

enum class Verdict : uint8_t { Valid, Invalid, Unsure };

// One range of the root's content, read as validate reads the whole of it: the prolog and
// the root's start tag, then from `from` on. A range that is not the last is good when the
// strict reader meets its end with only the root open, between markups; anything else leaves
// it unsure (the cut may have fallen inside something).
Verdict validate_range(std::string_view doc, size_t from, size_t end, bool last) noexcept {
  xml::Reader reader(doc.substr(0, end), xml::Config::validation());
  for (;;) {
    const xml::Event ev = reader.read_event();
    if (ev.kind == xml::EventKind::Start) {
      reader.resume_at(from);
      const xml::ErrorKind kind = reader.read_to_end(ev.name());
      if (last)
        return kind == xml::ErrorKind::None && rest_is_valid(reader) ? Verdict::Valid
                                                                     : Verdict::Invalid;
      return kind == xml::ErrorKind::MissingEndTag && reader.at_end() && reader.depth() == 1 &&
                     !reader.ended_in_markup()
                 ? Verdict::Valid
                 : Verdict::Unsure;
    }
    if (ev.kind == xml::EventKind::Error || ev.kind == xml::EventKind::End ||
        ev.kind == xml::EventKind::Empty || ev.kind == xml::EventKind::Eof) {
      return last ? Verdict::Invalid : Verdict::Unsure;
    }
  }
}

}  // namespace

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
      case xml::EventKind::Eof: return root_seen;
      default: break;
    }
  }
}

bool validate(std::string_view doc, unsigned threads, std::span<const size_t> cuts) {
  std::optional<Root> root;
  std::vector<size_t> chosen;
  const size_t parts = range_count(doc, threads);
  if (parts > 1 || !cuts.empty()) root = find_root(doc);
  if (root) chosen = cuts_for(doc, *root, parts, cuts);
  if (chosen.empty()) return validate(doc);
  const Ranges ranges{&*root, chosen, doc.size()};
  std::vector<Verdict> verdicts(ranges.count());
  read_on_threads(
      ranges.count(),
      [&](size_t k) {
        verdicts[k] = validate_range(doc, ranges.from(k), ranges.end(k), k + 1 == ranges.count());
      },
      [] {});
  for (size_t k = 0; k < ranges.count(); ++k) {
    if (verdicts[k] == Verdict::Invalid) return false;
    // Unsure: this range and the rest read again, from this range's start, known good.
    if (verdicts[k] == Verdict::Unsure) {
      return validate_range(doc, ranges.from(k), doc.size(), true) == Verdict::Valid;
    }
  }
  return true;
}

}  // namespace varnex::engine
