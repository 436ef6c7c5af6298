// The one evaluation core (see scan.hpp): matching, reading each element once, and the work
// that waits for an element's end.
#include "engine/scan.hpp"

#include <algorithm>
#include <memory>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "engine/scan_events.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

// The plain pass is made here; the scoped one in scan_scoped.cpp.
template void Scan::run_loop<false>();
template std::optional<EngineError> Scan::within<false>();
template void Scan::prolog<false>();
extern template void Scan::run_loop<true>();
extern template std::optional<EngineError> Scan::within<true>();
extern template void Scan::prolog<true>();

Scan::Scan(std::string_view doc, bool spans) noexcept
    : doc_(doc), spans_(spans), reader_(doc, xml::Config::query()) {}

void Scan::reset(std::string_view doc) noexcept {
  doc_ = doc;
  // The reader can be neither copied nor assigned; it is made again in place.
  std::destroy_at(&reader_);
  std::construct_at(&reader_, doc, xml::Config::query());
  ntasks_ = 0;  // the tasks stay, as spares
  live_ = 0;
  states_.clear();
  levels_.clear();
  walks_of_[0] = walks_of_[1] = WalksOf{};
  floor_ = 0;
  work_.clear();
  texts_.clear();
  el_ = Element{};
  idle_check_ = false;
  stop_ = false;
  searches_ = false;
  error_.reset();
  eof_levels_ = 0;
  cancel_ = nullptr;
  cancelled_ = false;
  attrs_ = TagAttributes{};
  scoped_ = false;
  ns_.restart();  // track_namespaces() seeds it again
  held_tag_ = nullptr;
  out_of_memory_ = false;
}

void Scan::track_namespaces(std::span<const Binding> outer) {
  scoped_ = true;
  ns_.seed(outer);
}

bool Scan::in_namespace(const path::NameMatcher& m, std::string_view qname) const noexcept {
  // The tag named `qname` was just read: it ends where the reader stands, past its '>'.
  const auto begin = static_cast<size_t>(qname.data() - doc_.data());
  size_t end = reader_.buffer_position();
  std::string_view tag;
  if (end > begin + qname.size() && end <= doc_.size() && doc_[end - 1] == '>') {
    end -= doc_[end - 2] == '/' ? 2 : 1;
    tag = doc_.substr(begin, end - begin);
  } else {
    tag = tag_content(doc_.substr(begin));
  }
  // An exact local name matched at the end of `qname`: its prefix is what comes before.
  const size_t local = m.kind() == path::NameMatcher::Kind::Exact ? m.text().size() : 0;
  const std::string_view prefix =
      local == 0 ? xml::prefix(qname)
                 : qname.substr(0, qname.size() > local ? qname.size() - local - 1 : 0);
  try {
    return ns_.prefixed_in(m.ns(), prefix, tag, qname.size(), in_force());
  } catch (const std::bad_alloc&) {
    return false;  // a declared URI with references, and no memory left to resolve it
  }
}

// The next task, a spare one after a reset, made new for `steps`.
Scan::Task& Scan::next_task(std::span<const path::Step> steps, Role role, uint32_t owner) {
  if (ntasks_ == tasks_.size()) tasks_.emplace_back();
  Task& t = tasks_[ntasks_];
  t.steps = steps;
  t.role = role;
  t.done = false;
  t.verdict = Verdict::Open;
  t.decided = Verdict::Open;
  t.owner = owner;
  t.states_from = 0;
  t.group = kNone;
  t.rest = kNone;
  t.filter = nullptr;
  t.held.reset();
  return t;
}

uint32_t Scan::add(std::span<const path::Step> steps, TaskOptions options, Sink::Mode mode,
                   Items* items, ItemObserver* observer, uint32_t program) {
  Task& t = next_task(steps, Role::Path, kNone);
  t.options = options;
  t.program = program;
  t.sink.reset(mode, items);
  if (observer != nullptr) {
    t.sink.observe(observer, &stop_);
    if (observer->wants_scope) {
      if (!scoped_) track_namespaces();
      observer->scope = &ns_;
    }
  }
  ++live_;
  return ntasks_++;
}

// --- entry ----------------------------------------------------------------------------------

std::optional<EngineError> Scan::run_document() {
  start_document();
  loop();
  return std::move(error_);
}

std::optional<EngineError> Scan::run_range(size_t resume, const std::atomic<size_t>* cancel,
                                           size_t index) {
  cancel_ = cancel;
  cancel_index_ = index;
  start_document();
  if (scoped_) [[unlikely]] {
    prolog<true>();
  } else {
    prolog<false>();
  }
  if (!stop_ && levels_.size() == 2) reader_.resume_at(resume);
  loop();
  return std::move(error_);
}

bool Scan::ended_between_children() const noexcept {
  return eof_levels_ == 2 && reader_.depth() == 1 && !reader_.ended_in_markup();
}

void Scan::start_document() {
  attrs_.remember(ntasks_ > 1);
  levels_.push_back(Level{0, 0, ntasks_, 0, {}, false, false});
  if (scoped_) in_force_.assign(1, ns_.size());
  floor_ = 0;
  for (uint32_t task = 0; task < ntasks_; ++task) {
    const path::Step& first = tasks_[task].steps.front();
    switch (first.kind) {
      case path::StepKind::Element: push_state(task, 0, true); break;
      case path::StepKind::Text:
        emit_value(task, {});  // the document level has no text of its own
        finish(task);
        break;
      case path::StepKind::Attr:
        finish(task);  // nor attributes
        break;
    }
  }
  levels_.back().counts = el_.counts;
  if (states_.capacity() < room()) make_room();  // a reset scan may have it already
}

std::optional<EngineError> Scan::run_within() {
  if (scoped_) [[unlikely]]
    return within<true>();
  return within<false>();
}

// A broken element ends with what it found, its counts included (a count always gives one
// item); so does the document level at any error. Inside an element, reading goes on after an
// error that allows it, as it does when the element is skipped or read for its text.
void Scan::on_error(const xml::Event& ev) {
  if (xml::is_fatal(ev.error) || levels_.size() == 1) {
    close_level(reader_.buffer_position());
  }
}

// --- one element ----------------------------------------------------------------------------

// Matching at the level on top starts with states_ ending at that level's states, and each of
// them adds at most three (its own, a filter's subject and rest): reserved once per level, no
// state moves while the level's states are matched.
void Scan::make_room() { states_.reserve(std::max(room(), 2 * states_.capacity())); }

uint32_t Scan::new_task(Role role, std::span<const path::Step> steps, uint32_t owner,
                        const path::FilterTest* test) {
  Task& t = next_task(steps, role, owner);
  const Task& o = tasks_[owner];
  t.states_from = static_cast<uint32_t>(states_.size());
  t.options = TaskOptions{};
  if (role == Role::Subject) {
    // Every item the test's path selects counts, and the first that passes decides it.
    t.options.every = true;
    t.options.first_only = true;
    t.sink.reset(test->exists ? Sink::Mode::Count : Sink::Mode::Test, nullptr, test);
  } else {
    const bool counting = o.sink.mode() == Sink::Mode::Count;
    t.options.every = o.options.every;
    t.options.element_text = o.options.element_text || o.sink.mode() == Sink::Mode::Test;
    t.sink.reset(counting ? Sink::Mode::Count : Sink::Mode::Keep, nullptr);
  }
  return ntasks_++;
}

// --- element ends ---------------------------------------------------------------------------

void Scan::close_level(size_t end) {
  const Level& top = levels_.back();
  const uint32_t states = top.states;
  const uint32_t work = top.work;
  const uint32_t tasks = top.tasks;
  const size_t start = top.start;
  const bool text = top.text;
  const bool counts = top.counts;
  levels_.pop_back();
  if (counts) {
    // A count is given when its level ends, also when nothing matched.
    for (uint32_t i = states; i < states_.size(); ++i) {
      const State& s = states_[i];
      if (s.idle || s.at->selector.kind != path::SelectorKind::Count) continue;
      emit_value(s.task, std::to_string(s.count));
    }
  }
  states_.erase(states_.begin() + states, states_.end());
  if (work < work_.size()) {
    if (text) {
      const std::string gathered = std::move(texts_.back());
      texts_.pop_back();
      run_work(work, start, end, gathered);
    } else {
      run_work(work, start, end, {});
    }
    work_.erase(work_.begin() + work, work_.end());
  } else if (text) {
    texts_.pop_back();
  }
  ntasks_ = tasks;
  if (levels_.size() <= floor_) stop_ = true;
}

void Scan::run_work(uint32_t from, size_t start, size_t end, std::string_view text) {
  for (size_t w = from; w < work_.size() && !error_; ++w) {
    const Work item = work_[w];
    switch (item.kind) {
      case WorkKind::Capture: {
        Task& t = tasks_[item.task];
        if (!t.done) {
          if (scoped_) [[unlikely]]
            ns_.mark(in_force());
          t.sink.element(doc_, start, end, spans_);
          if (t.options.first_only) finish(item.task);
        }
        break;
      }
      case WorkKind::Text:
        if (!tasks_[item.task].done) emit_value(item.task, text);
        break;
      case WorkKind::Decide:
      case WorkKind::DecideAttr: decide(item); break;
      case WorkKind::Settle:
        if (item.held || tasks_[item.task].sink.size() > item.before) settle(item.state);
        break;
    }
  }
}

// A test of the filter whose subjects start at `group` is decided: the filter may be, too.
void Scan::settle_group(uint32_t group) {
  Task& first = tasks_[group];
  if (first.decided != Verdict::Open) return;
  const path::Filter& f = *first.filter;
  const bool one = f.nodes.size() == 1;  // the usual filter: its one test is the filter
  auto test = [&](uint32_t j) { return tasks_[group + j].verdict; };
  const Verdict v = one ? first.verdict : evaluate(f, test);
  if (v == Verdict::Open) return;
  first.decided = v;
  // Its tests need look no further; nor, when it fails, the rest of the path it decides: what
  // that finds would be dropped, and the element may then be left at once.
  if (!one) {
    for (uint32_t j = 0; j < f.tests.size(); ++j) finish(group + j);
  }
  if (v == Verdict::Fails && first.rest != kNone) finish(first.rest);
}

// The verdict of the filter whose subjects start at `group`, once its element has ended: a test
// still open has then found nothing that passes it.
Verdict Scan::final_verdict(uint32_t group) {
  const size_t tests = tasks_[group].filter->tests.size();
  for (uint32_t j = 0; j < tests && tasks_[group].decided == Verdict::Open; ++j) finish(group + j);
  return tasks_[group].decided;
}

void Scan::decide(const Work& work) {
  if (final_verdict(work.task) != Verdict::Holds) return;
  const uint32_t owner = tasks_[work.task].owner;
  if (work.kind == WorkKind::DecideAttr) {
    if (work.held && !tasks_[owner].done) {
      emit_value(owner, attribute_value(doc_.substr(work.before, work.rest), value_));
    }
    if (work.state != kNone) settle(work.state);
    return;
  }
  Task& rest = tasks_[work.rest];
  if (rest.held) {
    const EngineError held = *rest.held;
    return raise(owner, held.name, held.offset);
  }
  if (!tasks_[owner].done) {
    tasks_[owner].sink.take(rest.sink, doc_);
    added(owner);
  }
  // A first-match filter is settled once it holds, whatever the rest found.
  if (work.state != kNone) settle(work.state);
}

// Every state of the level on top has settled or ended: the rest of its element is read in
// one go (for its text, when an element gathers it) and the level closed.
void Scan::skip_rest() {
  pass(levels_.back().name);
  close_level(reader_.buffer_position());
}

void Scan::pass_text() { gather(read_text_in_scope(reader_, text_, decode_, unescape_)); }

void Scan::gather(std::string_view text) {
  for (std::string& t : texts_) t += text;
}

bool Scan::level_idle() const noexcept {
  for (size_t i = levels_.back().states; i < states_.size(); ++i) {
    if (!states_[i].idle) return false;
  }
  return true;
}

// --- task outcomes --------------------------------------------------------------------------

// A settled Index or first-match filter: at top level the task is done, below it the state
// idles to the end of its level.
void Scan::settle(uint32_t state) {
  State& s = states_[state];
  if (s.top_level) {
    finish(s.task);
  } else {
    s.idle = true;
    idle_check_ = true;
  }
}

void Scan::finish(uint32_t task) {
  Task& t = tasks_[task];
  if (t.done) return;
  t.done = true;
  if (t.role == Role::Path && --live_ == 0) stop_ = true;
  for (size_t i = t.states_from; i < states_.size(); ++i) {
    states_[i].idle = states_[i].idle || states_[i].task == task;
  }
  idle_check_ = true;
  if (t.role == Role::Subject) {
    // Nothing more comes for its test: decided now, and so perhaps its filter.
    t.verdict = t.sink.matched() ? Verdict::Holds : Verdict::Fails;
    settle_group(t.group);
  }
}

// An ambiguity met by `task`: it ends the scan, unless it arose under a filter that is not
// decided yet, which then raises it only if it holds.
void Scan::raise(uint32_t task, const std::string& name, size_t offset) {
  Task& t = tasks_[task];
  if (t.role == Role::Path) {
    error_ = EngineError{name, offset, t.program};
    stop_ = true;
    return;
  }
  // A rest (a filter's own paths never raise: every match counts there).
  if (!t.held) t.held = EngineError{name, offset, 0};
  finish(task);
}

}  // namespace varnex::engine
