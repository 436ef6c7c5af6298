// A record's fields in one walk over its children: for sets of paths that only name children
// (and end in a child or an attribute), one name table per level instead of the scan's states
// and tasks. The answers are the scan's, item for item; anything else (a filter, a search, an
// index, a namespace, broken markup) is left to the scan.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/internal.hpp"
#include "engine/item.hpp"
#include "engine/paths.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

class FieldsWalk {
 public:
  // The walk for `paths` (which outlive it), or nothing when some path needs the scan.
  [[nodiscard]] static std::unique_ptr<FieldsWalk> plan(std::span<const PathTask> paths);

  // The paths over the first element of `element`, each finished by its modifiers, into
  // `results` (one per path, cleared first): true. False, with `results` in no particular
  // state, when the element holds what the walk leaves to the scan.
  [[nodiscard]] bool run(std::string_view element, bool spans, std::span<Items> results);
  // Passes the element whose start tag `tag` (its '<' at `start` of the reader's input) `reader`
  // has just read, as pass_child(tag.name()) does, and reads it on the way when it can: true
  // with the answer run gives over the element's bytes (spans relative to `start`); false when
  // only run can give it (the element spans chunks of the reader's index, or is read otherwise
  // than passing it reads it).
  [[nodiscard]] bool pass_inside(xml::Reader& reader, const xml::Event& tag, size_t start,
                                 bool spans, std::span<Items> results);

 private:
  FieldsWalk() = default;

  // One path's step, wanted at the level of its depth.
  struct Want {
    const path::Step* step;
    uint32_t path;
  };
  // The wants at one depth, in path order; which paths want an element there, and for which
  // of them it is their last step; by where a name falls (path::name_tail), the elements'
  // wants whose names may fall there (a bit each, by index; everywhere for a name that is not
  // exact).
  struct Level {
    std::vector<Want> elements;
    std::vector<Want> attributes;  // an attribute step after a match one level up
    uint64_t element_paths = 0;
    uint64_t last_paths = 0;
    std::array<uint64_t, 64> by_tail{};
  };

  // The children of the element the reader stands in, at `depth`, with `matched` (the paths
  // whose steps so far matched it) narrowing what is wanted; false when the scan must decide.
  [[nodiscard]] bool children(size_t depth, uint64_t matched);
  void take_attributes(size_t depth, uint64_t matched, const xml::Event& tag);
  // The wants of `level` whose paths are among `matched`, a bit each by index.
  [[nodiscard]] static uint64_t live_wants(const Level& level, uint64_t matched) noexcept;
  // The paths among the `live` wants of `level` that take a child named `qname` (a view into
  // doc_).
  [[nodiscard]] uint64_t hits(const Level& level, uint64_t live,
                              std::string_view qname) const noexcept;
  // What a child at `depth` that `hit` paths want is to them: the paths it is the item of, those
  // that go on into it, and whether its children are walked. Its attributes are taken, and an
  // empty element's items.
  struct Child {
    uint64_t captured = 0;
    uint64_t onward = 0;
    bool inside = false;
  };
  Child met(size_t depth, uint64_t hit, const xml::Event& tag);
  // The element doc_[start, end) as the item of each path in `captured`.
  void capture(uint64_t captured, size_t start, size_t end);
  // The element whose start tag `tag` the reader read (standing at `inside` after it) walked over
  // its tags alone, within the chunk: true, with `past` where passing it leaves the reader, when
  // every tag in it closes the element open and it holds no construct (then every reader agrees
  // on where each element ends). False otherwise, the items in no particular state.
  [[nodiscard]] bool walk_tags(const xml::Event& tag, const xml::Reader::Mark& inside,
                               xml::Reader::Mark* past);

  std::span<const PathTask> paths_;
  std::vector<Level> levels_;  // levels_[0]: the record's own attributes and its children
  // While a walk runs:
  // The element's attributes and children: false on what the walk leaves to the scan.
  [[nodiscard]] bool walk(const xml::Event& tag);
  // The walk, within the chunk of the index the reader stands in: false too when it would
  // read on into another.
  [[nodiscard]] bool walk_in_chunk(const xml::Event& tag);
  // The paths' items over `element` (the bytes their spans are in) as a sink in each one's
  // mode keeps them.
  void finish(std::string_view element);
  [[nodiscard]] bool answer(const xml::Event& tag);

  std::optional<xml::Reader> own_;
  xml::Reader* reader_ = nullptr;
  std::string_view doc_;  // the element's bytes
  size_t base_ = 0;       // where that is in the reader's input
  std::span<Items> results_;
  std::string_view closed_;  // the name in the end tag that ended the walk's element
  bool spans_ = false;
  TagAttributes attrs_;
};

}  // namespace varnex::engine
