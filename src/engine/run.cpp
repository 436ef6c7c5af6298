// The entry points: one path, several paths, paths relative to one element. Each sets up the
// scan with the options its callers rely on and finishes every path by its modifiers.
#include "engine/engine.hpp"
#include "engine/paths.hpp"
#include "engine/scan.hpp"

namespace varnex::engine {

namespace {

constexpr uint32_t kNoTask = UINT32_MAX;

bool first_modifier_is(const path::Program& p, path::Modifier m) {
  return !p.modifiers.empty() && p.modifiers.front() == m;
}

}  // namespace

PathTask make_task(const path::Program* p, bool many) {
  PathTask task;
  task.program = p;
  if (p == nullptr || p->steps.empty()) return task;
  task.options.first_only = first_modifier_is(*p, path::Modifier::First);
  if (many) {
    task.options.element_text = p->collect_mode == path::CollectMode::CollectAll;
    task.options.guard_empty = false;
  }
  // A path whose first modifier counts needs only the number of its items; one whose first
  // modifier takes the last item needs only that one.
  if (first_modifier_is(*p, path::Modifier::Count)) {
    task.mode = Sink::Mode::Count;
  } else if (first_modifier_is(*p, path::Modifier::Last)) {
    task.mode = Sink::Mode::Last;
  }
  return task;
}

std::vector<PathTask> prepare(std::span<const path::Program* const> programs) {
  std::vector<PathTask> paths;
  paths.reserve(programs.size());
  for (const path::Program* p : programs) paths.push_back(make_task(p, true));
  return paths;
}

SinkOutcome take_outcome(const Sink& sink, Items& items, std::string_view doc) {
  if (const auto copy = sink.pending_copy(doc)) items.push_markup(*copy);
  return SinkOutcome{sink.mode(), sink.size(), sink.last_is_element()};
}

// A counted path becomes its count; an element kept whole where its text is wanted becomes
// its text (read now, once, instead of for every element passed over).
void finish_items(const PathTask& task, const SinkOutcome* outcome, Items& items,
                  std::string_view doc) {
  std::span<const path::Modifier> modifiers = task.program->modifiers;
  if (outcome != nullptr && outcome->mode == Sink::Mode::Count) {
    items.clear();
    items.push_value(std::to_string(outcome->size));
    modifiers = modifiers.subspan(1);
  } else if (outcome != nullptr && outcome->last_is_element && task.options.element_text &&
             items.size() == 1) {
    const std::string text = item_text(items, 0, doc);
    items.clear();
    items.push_value(text);
  }
  apply_modifiers(modifiers, items, doc);
}

bool any_scoped(std::span<const PathTask> paths) noexcept {
  for (const PathTask& p : paths) {
    if (p.program != nullptr && p.program->scoped) return true;
  }
  return false;
}

namespace {

// Answers `paths` over the document `scan` was made or reset for, into `results`, one per path
// (whose
// sequences keep their capacity); `tasks` is scratch.
std::optional<EngineError> run_paths(Scan& scan, const std::vector<PathTask>& paths,
                                     std::string_view doc, bool within, std::span<Items> results,
                                     std::vector<uint32_t>& tasks,
                                     std::span<const Binding> outer = {}) {
  for (Items& items : results) items.clear();
  tasks.assign(paths.size(), kNoTask);
  bool any = false;
  for (size_t i = 0; i < paths.size(); ++i) {
    const PathTask& p = paths[i];
    if (p.program == nullptr || p.program->steps.empty()) continue;
    tasks[i] = scan.add(p.program->steps, p.options, p.mode, &results[i], nullptr,
                        static_cast<uint32_t>(i));
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
    if (tasks[i] == kNoTask) {
      finish_items(paths[i], nullptr, results[i], doc);
    } else {
      const SinkOutcome outcome = take_outcome(scan.sink(tasks[i]), results[i], doc);
      finish_items(paths[i], &outcome, results[i], doc);
    }
  }
  return std::nullopt;
}

// The paths as a set (run_many), cut among `threads` where that pays over a whole document.
std::optional<EngineError> run_set(std::span<const path::Program* const> programs,
                                   std::string_view doc, bool capture_spans, bool within,
                                   std::span<Items> results, unsigned threads = 1,
                                   std::span<const Binding> outer = {}) {
  const std::vector<PathTask> paths = prepare(programs);
  if (!within && threads != 1) {
    if (auto answer = run_split(paths, false, doc, capture_spans, results, threads)) {
      return std::move(*answer);
    }
  }
  Scan scan(doc, capture_spans);
  std::vector<uint32_t> tasks;
  return run_paths(scan, paths, doc, within, results, tasks, outer);
}

std::optional<EngineError> run_single(const path::Program& program, std::string_view doc,
                                      bool capture_spans, Items& items, ItemObserver* observer) {
  items.clear();
  const PathTask task = make_task(&program, false);
  if (program.steps.empty()) {
    finish_items(task, nullptr, items, doc);
    return std::nullopt;
  }
  Scan scan(doc, capture_spans);
  const uint32_t index = scan.add(program.steps, task.options, task.mode, &items, observer);
  if (program.scoped) scan.track_namespaces();
  if (auto error = scan.run_document()) {
    items.clear();
    return error;
  }
  const SinkOutcome outcome = take_outcome(scan.sink(index), items, doc);
  finish_items(task, &outcome, items, doc);
  return std::nullopt;
}

}  // namespace

std::optional<EngineError> run_with(const path::Program& program, std::string_view doc,
                                    bool capture_spans, Items& items) {
  return run_single(program, doc, capture_spans, items, nullptr);
}

std::optional<EngineError> run_observed(const path::Program& program, std::string_view doc,
                                        bool capture_spans, Items& items, ItemObserver& observer) {
  return run_single(program, doc, capture_spans, items, &observer);
}

std::optional<EngineError> run_many(const std::vector<const path::Program*>& programs,
                                    std::string_view doc, bool capture_spans,
                                    std::vector<Items>& results) {
  results.resize(programs.size());
  return run_set(programs, doc, capture_spans, false, results);
}

std::optional<EngineError> run_many(const std::vector<const path::Program*>& programs,
                                    std::string_view doc, bool capture_spans,
                                    std::vector<Items>& results, unsigned threads) {
  results.resize(programs.size());
  return run_set(programs, doc, capture_spans, false, results, threads);
}

std::optional<EngineError> run_many_within(const std::vector<const path::Program*>& programs,
                                           std::string_view element, std::vector<Items>& results,
                                           bool capture_spans, std::span<const Binding> outer) {
  results.resize(programs.size());
  return run_set(programs, element, capture_spans, true, results, 1, outer);
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
  results.resize(state_->paths.size());
  return run_paths(state_->scan, state_->paths, element, true, results, state_->tasks, outer);
}

std::optional<EngineError> run(std::span<const path::Program* const> programs, std::string_view doc,
                               const RunOptions& options, std::span<Items> results) {
  using Scope = RunOptions::Scope;
  if (options.as_set) {
    const bool within = options.scope == Scope::Element;
    return run_set(programs, doc, options.capture_spans, within, results, options.threads,
                   options.outer);
  }
  Items& items = results.front();
  const path::Program& program = *programs.front();
  if (options.scope == Scope::Element) {
    items.clear();
    auto error =
        apply_within_fragment(doc, program.steps, items, options.capture_spans,
                              program.scoped ? std::optional(options.outer) : std::nullopt);
    if (!error) apply_modifiers(program.modifiers, items, doc);
    return error;
  }
  if (options.observer != nullptr) {
    return run_observed(program, doc, options.capture_spans, items, *options.observer);
  }
  return run_with(program, doc, options.capture_spans, items, options.threads);
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
