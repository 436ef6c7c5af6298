// The engine's entry: one path, several paths, paths relative to one element. Each sets up the
// scan with the options its callers rely on and finishes every path by its modifiers.
#include "engine/engine.hpp"
#include "engine/fields_walk.hpp"
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
// (whose sequences keep their capacity); `tasks` is scratch.
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

// The paths as a set, cut among `threads` where that pays over a whole document.
std::optional<EngineError> run_set(std::span<const path::Program* const> programs,
                                   std::string_view doc, const RunOptions& options,
                                   std::span<Items> results) {
  const std::vector<PathTask> paths = prepare(programs);
  const bool within = options.scope == RunOptions::Scope::Element;
  if (!within && options.threads != 1) {
    if (auto answer =
            run_split(paths, false, doc, options.capture_spans, results, options.threads)) {
      return std::move(*answer);
    }
  }
  Scan scan(doc, options.capture_spans);
  std::vector<uint32_t> tasks;
  return run_paths(scan, paths, doc, within, results, tasks, options.outer);
}

// One path over a whole document, cut among `threads` where that pays and no one observes.
std::optional<EngineError> run_single(const path::Program& program, std::string_view doc,
                                      const RunOptions& options, Items& items) {
  const PathTask task = make_task(&program, false);
  if (options.threads != 1 && options.observer == nullptr) {
    if (auto answer = run_split(std::span(&task, 1), true, doc, options.capture_spans,
                                std::span(&items, 1), options.threads)) {
      return std::move(*answer);
    }
  }
  items.clear();
  if (program.steps.empty()) {
    finish_items(task, nullptr, items, doc);
    return std::nullopt;
  }
  Scan scan(doc, options.capture_spans);
  const uint32_t index = scan.add(program.steps, task.options, task.mode, &items, options.observer);
  if (program.scoped) scan.track_namespaces();
  if (auto error = scan.run_document()) {
    items.clear();
    return error;
  }
  const SinkOutcome outcome = take_outcome(scan.sink(index), items, doc);
  finish_items(task, &outcome, items, doc);
  return std::nullopt;
}

// One path relative to the first element in `fragment`: attribute steps read its own start
// tag, element steps match its children; empty-element tags count for the ambiguity guard.
std::optional<EngineError> run_fragment(const path::Program& program, std::string_view fragment,
                                        const RunOptions& options, Items& items) {
  items.clear();
  if (program.steps.empty()) {
    items.push_markup(fragment);
  } else {
    Scan scan(fragment, options.capture_spans);
    (void)scan.add(program.steps, TaskOptions{}, Sink::Mode::Keep, &items);
    if (program.scoped) scan.track_namespaces(options.outer);
    if (auto error = scan.run_within()) return error;
  }
  apply_modifiers(program.modifiers, items, fragment);
  return std::nullopt;
}

}  // namespace

std::optional<EngineError> run(std::span<const path::Program* const> programs, std::string_view doc,
                               const RunOptions& options, std::span<Items> results) {
  if (options.as_set) return run_set(programs, doc, options, results);
  if (options.scope == RunOptions::Scope::Element) {
    return run_fragment(*programs.front(), doc, options, results.front());
  }
  return run_single(*programs.front(), doc, options, results.front());
}

struct WithinPass::State {
  std::vector<PathTask> paths;
  Scan scan;
  std::vector<uint32_t> tasks;
  bool spans = false;
  std::unique_ptr<FieldsWalk> walk;  // when the paths only name children
};

WithinPass::WithinPass(const std::vector<const path::Program*>& programs, bool capture_spans)
    : state_(new State{prepare(programs), Scan({}, capture_spans), {}, capture_spans, {}}) {
  state_->walk = FieldsWalk::plan(state_->paths);  // the scan stays put; the walk views paths
}

WithinPass::~WithinPass() = default;

std::optional<EngineError> WithinPass::run(std::string_view element, std::vector<Items>& results,
                                           std::span<const Binding> outer) {
  results.resize(state_->paths.size());
  if (state_->walk && state_->walk->run(element, state_->spans, results)) return std::nullopt;
  state_->scan.reset(element);
  return run_paths(state_->scan, state_->paths, element, true, results, state_->tasks, outer);
}

bool WithinPass::scoped() const noexcept { return any_scoped(state_->paths); }

bool WithinPass::reads_inside() const noexcept { return state_->walk != nullptr; }

bool WithinPass::pass_inside(xml::Reader& reader, const xml::Event& tag, size_t start,
                             std::vector<Items>& results) {
  results.resize(state_->paths.size());
  return state_->walk->pass_inside(reader, tag, start, state_->spans, results);
}

}  // namespace varnex::engine
