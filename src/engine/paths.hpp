// A caller's paths made ready for the scan, and finished once it is over: what the entry
// points (run.cpp) and the split pass (split.cpp) share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/item.hpp"
#include "engine/scan.hpp"
#include "engine/sink.hpp"
#include "path/program.hpp"

namespace varnex::engine {

// One path: its task options and how its items are kept.
struct PathTask {
  const path::Program* program = nullptr;  // null or stepless: answered by modifiers alone
  TaskOptions options;
  Sink::Mode mode = Sink::Mode::Keep;
};

// `many`: for a set of paths, which differ from a path alone in two options (see RunOptions).
[[nodiscard]] PathTask make_task(const path::Program* program, bool many);
[[nodiscard]] std::vector<PathTask> prepare(std::span<const path::Program* const> programs);
// Whether some path reads names in their namespaces.
[[nodiscard]] bool any_scoped(std::span<const PathTask> paths) noexcept;

// What a finished pass's sink leaves beyond its items.
struct SinkOutcome {
  Sink::Mode mode = Sink::Mode::Keep;
  uint64_t size = 0;             // items appended, whatever the mode kept of them
  bool last_is_element = false;  // Last: the item kept is an element
};

// The outcome of `sink`, its pending copy (if any) appended to `items` now.
[[nodiscard]] SinkOutcome take_outcome(const Sink& sink, Items& items, std::string_view doc);

// The items of a finished path: a counted one becomes its count, an element kept whole where
// its text is wanted becomes its text, then the modifiers run. `outcome` is null for a path
// the scan never ran.
void finish_items(const PathTask& task, const SinkOutcome* outcome, Items& items,
                  std::string_view doc);

// `paths` answered into `results` (one per path) with the document cut among up to `threads`
// threads, or at `cuts`; as `run` answers one path alone when `single`. Nothing when cutting
// cannot pay or the paths cannot be cut (split.cpp).
[[nodiscard]] std::optional<std::optional<EngineError>> run_split(
    std::span<const PathTask> paths, bool single, std::string_view doc, bool spans,
    std::span<Items> results, unsigned threads, std::span<const size_t> cuts = {});

}  // namespace varnex::engine
