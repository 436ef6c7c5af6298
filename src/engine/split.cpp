// One document among several threads. The root's children are cut into ranges; each range is
// read by a pass of its own, which reads the prolog and the root's start tag as any pass does
// and then jumps to the range. Ranges are joined in order. A range's start is taken on trust
// (the first is the true one); its end is checked: the pass must end with only the root open,
// between markups. Where it does not (the cut fell inside a child, a comment, a value), that
// range and the rest are read again by one pass from the range's start, which is known good.
#include <algorithm>
#include <atomic>
#include <charconv>

#include "engine/document.hpp"
#include "engine/engine.hpp"
#include "engine/paths.hpp"
#include "engine/ranges.hpp"
#include "engine/scan.hpp"
#include "xml/single_byte.hpp"

namespace varnex::engine {

namespace {

// How the ranges' answers of one path are joined.
enum class Join : uint8_t {
  Concat,  // its items, range after range
  Sum,     // one count per range (the root's children it counts): their sum
};

// The ranges' answers of one path, joined so far.
struct Joined {
  Items items;
  SinkOutcome outcome;
  uint64_t sum = 0;
  bool summed = false;  // Sum: some range gave a count
};

struct RangeAnswer {
  std::vector<Items> items;
  std::vector<SinkOutcome> outcomes;
  std::optional<EngineError> error;
  bool good_end = false;  // ended between two of the root's children
  bool done = false;      // every path had its answer before the range's end
};

// Whether the path's first step takes the root: a pass over the prolog and the root's start
// tag alone tells, by the scan's own rules (names, namespaces, attribute filters).
bool root_matches(const path::Program& program, std::string_view doc, const Root& root) {
  Scan scan(doc.substr(0, root.content), false);
  const uint32_t task =
      scan.add(std::span(program.steps).first(1), TaskOptions{}, Sink::Mode::Count, nullptr);
  if (program.scoped) scan.track_namespaces();
  if (scan.run_document()) return false;
  return scan.sink(task).size() > 0;
}

bool selects_each(path::SelectorKind kind) noexcept {
  return kind == path::SelectorKind::Each || kind == path::SelectorKind::FilterAll;
}

// How a path's answers over ranges join, or nothing when it needs the document in one pass:
// what it finds among the root's children must not depend on the children before (no index,
// no ambiguity guard, no first match at that level).
std::optional<Join> join_for(const PathTask& task, bool single, std::string_view doc,
                             const Root& root) {
  const path::Program* p = task.program;
  if (p == nullptr || p->steps.empty()) return Join::Concat;  // no pass
  if (task.options.first_only && !single) return std::nullopt;
  const path::Step& first = p->steps.front();
  if (first.kind != path::StepKind::Element) return std::nullopt;
  const bool matches = root_matches(*p, doc, root);
  if (first.descendant) {
    // The search goes on inside the root, among its children, unless the root is a match.
    if (matches) return std::nullopt;
    return Join::Concat;
  }
  if (!matches || first.selector.kind != path::SelectorKind::Bare || p->steps.size() < 2) {
    return std::nullopt;
  }
  const path::Step& child = p->steps[1];
  if (child.kind != path::StepKind::Element) return std::nullopt;
  if (child.descendant || selects_each(child.selector.kind)) return Join::Concat;
  // A name that ends the path takes every child it names (the guard is for a path going on).
  if (child.selector.kind == path::SelectorKind::Bare && p->steps.size() == 2) {
    return Join::Concat;
  }
  if (!child.descendant && child.selector.kind == path::SelectorKind::Count &&
      task.mode != Sink::Mode::Count && !task.options.first_only) {
    return Join::Sum;
  }
  return std::nullopt;
}

// One range: the pass over doc[0, end) that reads from `from` once past the root's start tag.
RangeAnswer read_range(std::span<const PathTask> paths, std::string_view doc, bool spans,
                       size_t from, size_t end, const std::atomic<size_t>* cancel, size_t index) {
  RangeAnswer answer;
  answer.items.resize(paths.size());
  answer.outcomes.resize(paths.size());
  Scan scan(doc.substr(0, end), spans);
  std::vector<uint32_t> tasks(paths.size(), UINT32_MAX);
  for (size_t i = 0; i < paths.size(); ++i) {
    const PathTask& p = paths[i];
    if (p.program == nullptr || p.program->steps.empty()) continue;
    tasks[i] = scan.add(p.program->steps, p.options, p.mode, &answer.items[i], nullptr,
                        static_cast<uint32_t>(i));
  }
  if (any_scoped(paths)) scan.track_namespaces();
  answer.error = scan.run_range(from, cancel, index);
  if (answer.error) return answer;
  answer.done = scan.ended_early();
  answer.good_end = scan.ended_between_children();
  for (size_t i = 0; i < paths.size(); ++i) {
    if (tasks[i] != UINT32_MAX) {
      answer.outcomes[i] = take_outcome(scan.sink(tasks[i]), answer.items[i], doc);
    }
  }
  return answer;
}

uint64_t count_of(const Items& items, std::string_view doc) {
  uint64_t n = 0;
  if (items.empty()) return 0;
  const std::string_view text = items.bytes(0, doc);
  std::from_chars(text.data(), text.data() + text.size(), n);
  return n;
}

void join(Joined& into, RangeAnswer& range, size_t i, Join how, std::string_view doc) {
  Items& items = range.items[i];
  const SinkOutcome& outcome = range.outcomes[i];
  into.outcome.mode = outcome.mode;
  if (how == Join::Sum) {
    // Each range counts the children it holds; one pass gives the one count of them all.
    if (!items.empty()) {
      into.sum += count_of(items, doc);
      into.summed = true;
    }
    return;
  }
  into.outcome.size += outcome.size;
  if (outcome.mode == Sink::Mode::Last) {
    if (outcome.size == 0) return;
    into.items = std::move(items);
    into.outcome.last_is_element = outcome.last_is_element;
    return;
  }
  into.items.append(std::move(items));
}

std::optional<EngineError> run_cut(std::span<const PathTask> paths, std::string_view doc,
                                   bool spans, std::span<Items> results, const Root& root,
                                   std::span<const Join> joins, std::span<const size_t> cuts) {
  const Ranges ranges{&root, cuts, doc.size()};
  std::vector<RangeAnswer> answers(ranges.count());
  std::atomic<size_t> answered{SIZE_MAX};  // the first range that ends the pass early
  read_on_threads(
      ranges.count(),
      [&](size_t k) {
        answers[k] = read_range(paths, doc, spans, ranges.from(k), ranges.end(k), &answered, k);
        if (answers[k].error || answers[k].done) {
          size_t seen = answered.load();
          while (k < seen && !answered.compare_exchange_weak(seen, k)) {
          }
        }
      },
      [&] { answered.store(0); });  // nobody's answer matters now

  std::vector<Joined> joined(paths.size());
  for (size_t k = 0; k < ranges.count(); ++k) {
    RangeAnswer& range = answers[k];
    bool last = k + 1 == ranges.count() || range.done;
    if (!last && !range.error && !range.good_end) {
      // The cut after this range fell inside something: the rest is read again, in one pass
      // from this range's start.
      range = read_range(paths, doc, spans, ranges.from(k), doc.size(), nullptr, 0);
      last = true;
    }
    if (range.error) {
      for (Items& items : results) items.clear();
      return std::move(range.error);
    }
    for (size_t i = 0; i < paths.size(); ++i) join(joined[i], range, i, joins[i], doc);
    if (last) break;
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    const PathTask& p = paths[i];
    results[i].clear();
    if (p.program == nullptr) continue;
    if (p.program->steps.empty()) {
      finish_items(p, nullptr, results[i], doc);
      continue;
    }
    Joined& j = joined[i];
    if (joins[i] == Join::Sum) {
      if (j.summed) j.items.push_value(std::to_string(j.sum));
      j.outcome.size = j.items.size();
    }
    results[i] = std::move(j.items);
    finish_items(p, &j.outcome, results[i], doc);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::optional<EngineError>> run_split(std::span<const PathTask> paths, bool single,
                                                    std::string_view doc, bool spans,
                                                    std::span<Items> results, unsigned threads,
                                                    std::span<const size_t> cuts) {
  const size_t parts = range_count(doc, threads);
  if (cuts.empty() && parts < 2) return std::nullopt;
  if (single && paths.size() != 1) return std::nullopt;
  const std::optional<Root> root = find_root(doc);
  if (!root) return std::nullopt;
  std::vector<Join> joins;
  joins.reserve(paths.size());
  for (const PathTask& p : paths) {
    const auto how = join_for(p, single, doc, *root);
    if (!how) return std::nullopt;
    joins.push_back(*how);
  }
  const std::vector<size_t> chosen = cuts_for(doc, *root, parts, cuts);
  if (chosen.empty()) return std::nullopt;
  return run_cut(paths, doc, spans, results, *root, joins, chosen);
}

std::optional<std::optional<EngineError>> run_cut_at(std::span<const path::Program* const> programs,
                                                     std::string_view doc,
                                                     const RunOptions& options,
                                                     std::span<Items> results,
                                                     std::span<const size_t> cuts) {
  if (cuts.empty() || options.scope != RunOptions::Scope::Document) return std::nullopt;
  const bool single = !options.as_set;
  std::vector<PathTask> paths;
  paths.reserve(programs.size());
  for (const path::Program* p : programs) paths.push_back(make_task(p, !single));
  return run_split(paths, single, doc, options.capture_spans, results, 2, cuts);
}

bool records_can_be_cut(const path::Program& record, std::string_view head) {
  // Ranges of the raw bytes are read by themselves: only where markup is the ASCII it reads
  // as (UTF-8, or a single-byte encoding), never a byte of a wider character.
  const DocumentEncoding encoding = detect_document_encoding(head);
  if (!encoding.other_label.empty() || (encoding.encoding != xml::Encoding::Utf8 &&
                                        xml::single_byte_table(encoding.encoding) == nullptr)) {
    return false;
  }
  const std::optional<Root> root = find_root(head);
  if (!root || !record.modifiers.empty()) return false;
  const PathTask task = make_task(&record, false);
  return join_for(task, true, head, *root) == Join::Concat;
}

}  // namespace varnex::engine
