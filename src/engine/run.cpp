// The entry points: one path, several paths, paths relative to one element. Each sets up the
// scan with the options its callers rely on and finishes every path by its modifiers.
#include "engine/engine.hpp"
#include "engine/scan.hpp"

namespace varnex::engine {

namespace {

constexpr uint32_t kNoTask = UINT32_MAX;

enum class Flavor : uint8_t { Single, Many };

bool first_modifier_is(const path::Program& p, path::Modifier m) {
  return !p.modifiers.empty() && p.modifiers.front() == m;
}

TaskOptions options_for(const path::Program& p, Flavor flavor) {
  TaskOptions o;
  o.first_only = first_modifier_is(p, path::Modifier::First);
  if (flavor == Flavor::Many) {
    o.element_text = p.collect_mode == path::CollectMode::CollectAll;
    o.guard_empty = false;
  }
  return o;
}

// A path whose first modifier counts needs only the number of its items; one whose first
// modifier takes the last item needs only that one.
Sink::Mode mode_for(const path::Program& p) {
  if (first_modifier_is(p, path::Modifier::Count)) return Sink::Mode::Count;
  return first_modifier_is(p, path::Modifier::Last) ? Sink::Mode::Last : Sink::Mode::Keep;
}

// The items of a finished path: a counted one becomes its count, an element kept whole where
// its text is wanted becomes its text (read now, once, instead of for every element passed
// over), then the modifiers run.
void finish_items(const path::Program& p, const TaskOptions& options, const Sink* sink,
                  Items& items, std::string_view doc) {
  std::span<const path::Modifier> modifiers = p.modifiers;
  if (const auto copy = sink != nullptr ? sink->pending_copy(doc) : std::nullopt) {
    items.push_markup(*copy);
  }
  if (sink != nullptr && sink->mode() == Sink::Mode::Count) {
    items.clear();
    items.push_value(std::to_string(sink->size()));
    modifiers = modifiers.subspan(1);
  } else if (sink != nullptr && sink->last_is_element() && options.element_text &&
             items.size() == 1) {
    const std::string text = item_text(items, 0, doc);
    items.clear();
    items.push_value(text);
  }
  apply_modifiers(modifiers, items, doc);
}

// A caller's path made ready for the scan once: its task options and how its items are kept.
struct PathTask {
  const path::Program* program = nullptr;  // null or stepless: answered by modifiers alone
  TaskOptions options;
  Sink::Mode mode = Sink::Mode::Keep;
};

std::vector<PathTask> prepare(const std::vector<const path::Program*>& programs) {
  std::vector<PathTask> paths(programs.size());
  for (size_t i = 0; i < programs.size(); ++i) {
    const path::Program* p = programs[i];
    paths[i].program = p;
    if (p == nullptr || p->steps.empty()) continue;
    paths[i].options = options_for(*p, Flavor::Many);
    paths[i].mode = mode_for(*p);
  }
  return paths;
}

// Answers `paths` over the document `scan` was made or reset for, into `results` (whose
// sequences keep their capacity); `tasks` is scratch.
bool any_scoped(const std::vector<PathTask>& paths) noexcept {
  for (const PathTask& p : paths) {
    if (p.program != nullptr && p.program->scoped) return true;
  }
  return false;
}

std::optional<EngineError> run_paths(Scan& scan, const std::vector<PathTask>& paths,
                                     std::string_view doc, bool within, std::vector<Items>& results,
                                     std::vector<uint32_t>& tasks,
                                     std::span<const Binding> outer = {}) {
  results.resize(paths.size());
  for (Items& items : results) items.clear();
  tasks.assign(paths.size(), kNoTask);
  bool any = false;
  for (size_t i = 0; i < paths.size(); ++i) {
    const PathTask& p = paths[i];
    if (p.program == nullptr || p.program->steps.empty()) continue;
    tasks[i] = scan.add(p.program->steps, p.options, p.mode, &results[i]);
    any = true;
  }
  if (any_scoped(paths)) scan.track_namespaces(outer);
  if (any) {
    if (auto error = within ? scan.run_within() : scan.run_document()) {
      for (Items& items : results) items.clear();
      return error;
    }
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    if (paths[i].program == nullptr) continue;
    finish_items(*paths[i].program, paths[i].options,
                 tasks[i] == kNoTask ? nullptr : &scan.sink(tasks[i]), results[i], doc);
  }
  return std::nullopt;
}

std::optional<EngineError> run_once(const std::vector<const path::Program*>& programs,
                                    std::string_view doc, bool capture_spans, bool within,
                                    std::vector<Items>& results,
                                    std::span<const Binding> outer = {}) {
  Scan scan(doc, capture_spans);
  std::vector<uint32_t> tasks;
  return run_paths(scan, prepare(programs), doc, within, results, tasks, outer);
}

std::optional<EngineError> run_single(const path::Program& program, std::string_view doc,
                                      bool capture_spans, Items& items, ItemObserver* observer) {
  items.clear();
  const TaskOptions options = options_for(program, Flavor::Single);
  if (program.steps.empty()) {
    finish_items(program, options, nullptr, items, doc);
    return std::nullopt;
  }
  Scan scan(doc, capture_spans);
  const uint32_t task = scan.add(program.steps, options, mode_for(program), &items, observer);
  if (program.scoped) scan.track_namespaces();
  if (auto error = scan.run_document()) {
    items.clear();
    return error;
  }
  finish_items(program, options, &scan.sink(task), items, doc);
  return std::nullopt;
}

}  // namespace

std::optional<EngineError> run_with(const path::Program& program, std::string_view doc,
                                    bool capture_spans, Items& items) {
  return run_single(program, doc, capture_spans, items, nullptr);
}

std::optional<EngineError> run_observed(const path::Program& program, std::string_view doc,
                                        bool capture_spans, Items& items,
                                        ItemObserver& observer) {
  return run_single(program, doc, capture_spans, items, &observer);
}

std::optional<EngineError> run_many(const std::vector<const path::Program*>& programs,
                                    std::string_view doc, bool capture_spans,
                                    std::vector<Items>& results) {
  return run_once(programs, doc, capture_spans, false, results);
}

std::optional<EngineError> run_many_within(const std::vector<const path::Program*>& programs,
                                           std::string_view element, std::vector<Items>& results,
                                           bool capture_spans, std::span<const Binding> outer) {
  return run_once(programs, element, capture_spans, true, results, outer);
}

struct WithinPass::State {
  std::vector<PathTask> paths;
  Scan scan;
  std::vector<uint32_t> tasks;
};

WithinPass::WithinPass(const std::vector<const path::Program*>& programs, bool capture_spans)
    : state_(new State{prepare(programs), Scan({}, capture_spans), {}}) {}  // the scan stays put

WithinPass::~WithinPass() = default;

std::optional<EngineError> WithinPass::run(std::string_view element, std::vector<Items>& results,
                                           std::span<const Binding> outer) {
  state_->scan.reset(element);
  return run_paths(state_->scan, state_->paths, element, true, results, state_->tasks, outer);
}

bool WithinPass::scoped() const noexcept { return any_scoped(state_->paths); }

std::optional<EngineError> apply_within_fragment(std::string_view fragment,
                                                 std::span<const path::Step> steps, Items& items,
                                                 bool capture_spans,
                                                 std::optional<std::span<const Binding>> outer) {
  if (steps.empty()) {
    items.push_markup(fragment);
    return std::nullopt;
  }
  Scan scan(fragment, capture_spans);
  (void)scan.add(steps, TaskOptions{}, Sink::Mode::Keep, &items);
  if (outer) scan.track_namespaces(*outer);
  return scan.run_within();
}

}  // namespace varnex::engine
