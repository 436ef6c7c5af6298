// The one evaluation core (see scan.hpp): matching, reading each element once, and the work
// that waits for an element's end.
#include "engine/scan.hpp"

#include <algorithm>
#include <memory>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

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
  ns_.clear();
}

void Scan::track_namespaces(std::span<const Binding> outer) {
  scoped_ = true;
  ns_.seed(outer);
}

uint32_t Scan::wanted_in_scope(std::string_view qname, bool& named,
                               size_t from) const noexcept {
  for (size_t i = from, end = states_.size(); i < end; ++i) {
    const State& s = states_[i];
    if (s.idle) continue;
    named = names(qname, s.at->name, room_after(qname));
    if (named || s.at->descendant) return static_cast<uint32_t>(i);
  }
  return kNone;
}

bool Scan::in_namespace(const path::Namespace& ns, std::string_view qname) const noexcept {
  const std::string_view rest(qname.data(),
                              static_cast<size_t>(doc_.data() + doc_.size() - qname.data()));
  try {
    return ns_.element_in(ns, qname, tag_content(rest), qname.size(), levels_.back().bindings);
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
                   Items* items, ItemObserver* observer) {
  Task& t = next_task(steps, Role::Path, kNone);
  t.options = options;
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
  // The prolog and the root's start tag, as the loop would read them.
  while (!stop_) {
    const xml::Event ev = reader_.read_event();
    bool named = false;
    const bool tag = ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty;
    const uint32_t first = tag ? wanted(ev.name(), named) : kNone;
    if (on_event(ev, first, named)) break;
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
  levels_.back().bindings = ns_.size();
  floor_ = 0;
  for (uint32_t task = 0; task < ntasks_; ++task) {
    const path::Step& first = tasks_[task].steps.front();
    switch (first.kind) {
      case path::StepKind::Element:
        push_state(task, 0, true);
        break;
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
  attrs_.remember(ntasks_ > 1);
  levels_.push_back(Level{0, 0, ntasks_, 0, {}, false, false});
  levels_.back().bindings = ns_.size();
  floor_ = 1;
  for (;;) {
    const size_t start = reader_.buffer_position();
    const xml::Event ev = reader_.read_event();
    if (ev.kind == xml::EventKind::Eof) return std::nullopt;
    if (ev.kind != xml::EventKind::Start && ev.kind != xml::EventKind::Empty) continue;
    // Every path starts at this element, as if a step had just selected it.
    const auto child_states = static_cast<uint32_t>(states_.size());
    const auto work = static_cast<uint32_t>(work_.size());
    set_element(ev, start, ev.kind == xml::EventKind::Empty);
    if (states_.capacity() < room()) make_room();
    for (uint32_t task = 0; task < ntasks_ && !error_; ++task) select(task, 0, true);
    if (error_) return std::move(error_);
    if (states_.size() == child_states && work_.size() == work) return std::nullopt;
    place(child_states, work, ntasks_);
    break;
  }
  loop();
  return std::move(error_);
}

void Scan::loop() {
  stop_ = stop_ || levels_.size() <= floor_;
  while (!stop_) {
    if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed) < cancel_index_)
        [[unlikely]] {
      cancelled_ = true;
      break;
    }
    if (idle_check_) {
      // Kept set after a skip: the level below may have nothing left either.
      if (levels_.size() > 1 && level_idle()) {
        skip_rest();
        continue;
      }
      idle_check_ = false;
    }
    if (level_walks()) {
      // Most tags mean nothing to anyone: unless text is gathered or every child is wanted,
      // the reader passes those itself, asking wanted() of each. Where it passes none (every
      // child wanted), events cost less.
      uint32_t first = kNone;
      bool named = false;
      uint32_t asked = 0;
      const xml::Event ev = next_child(first, named, asked);
      const bool tag = ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty;
      int8_t& walks = levels_.back().walks;
      walks = asked > static_cast<uint32_t>(tag) ? kWalks : static_cast<int8_t>(walks - 1);
      on_event(ev, first, named);
      continue;
    }
    // What lies between elements is read here without going round the loop: it changes
    // nothing the loop checks.
    for (;;) {
      if (texts_.empty()) reader_.skip_text();
      const xml::Event ev = reader_.read_event();
      if (ev.kind == xml::EventKind::Text) {
        if (!texts_.empty()) gather(text_piece(ev.encoding, ev.content, decode_, unescape_));
        continue;
      }
      if (ev.kind == xml::EventKind::CData) {
        if (!texts_.empty()) gather(ev.content);
        continue;
      }
      bool named = false;
      const uint32_t first =
          ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty
              ? wanted(ev.name(), named)
              : kNone;
      if (on_event(ev, first, named)) break;
    }
  }
}

// A tag, an end or an error at the level on top (`first`, `named` as wanted() gives them for
// a tag); false for anything else, which changes nothing.
[[gnu::always_inline]] inline bool Scan::on_event(const xml::Event& ev, uint32_t first,
                                                  bool named) {
  switch (ev.kind) {
    case xml::EventKind::Start:
    case xml::EventKind::Empty:
      on_tag(ev, first, named);
      return true;
    case xml::EventKind::Eof:
      if (eof_levels_ == 0) eof_levels_ = levels_.size();
      on_end();
      return true;
    case xml::EventKind::End:
      on_end();
      return true;
    case xml::EventKind::Error:
      on_error(ev);
      return true;
    default:
      return false;
  }
}

// A start or empty tag at the level on top; `first` is the first state wanting it, if any.
[[gnu::always_inline]] inline void Scan::on_tag(const xml::Event& ev, uint32_t first, bool named) {
  const std::string_view qname = ev.name();
  // A tag's content follows its '<' directly.
  const size_t start = static_cast<size_t>(ev.content.data() - doc_.data()) - 1;
  if (first != kNone && !named && first + 1 == states_.size() &&
      ev.kind == xml::EventKind::Start) {
    // Only a descendant search, which goes on inside (the common case of `**`): a new level
    // with a fresh copy of its state.
    State inside = states_[first];
    inside.count = 0;
    inside.seen = false;
    inside.top_level = false;
    const auto end = static_cast<uint32_t>(states_.size());
    states_.push_back(inside);
    levels_.push_back(
        Level{end, static_cast<uint32_t>(work_.size()), ntasks_, start, qname, false, false, 0});
    if (scoped_) [[unlikely]] enter_scope(ev.content, ev.name_len);
    if (states_.capacity() < states_.size() + 3) make_room();
  } else if (first != kNone) {
    on_element(ev, start, ev.kind == xml::EventKind::Empty, first, named);
  } else if (ev.kind == xml::EventKind::Start) {
    pass(qname);
  }
}

// The end of the level on top (or of the input).
[[gnu::always_inline]] inline void Scan::on_end() {
  const Level& top = levels_.back();
  if (top.counts || top.text || top.work != work_.size()) {
    close_level(reader_.buffer_position());
    return;
  }
  // Nothing waits for this element's end (the common case): drop its level.
  states_.erase(states_.begin() + top.states, states_.end());
  ntasks_ = top.tasks;
  levels_.pop_back();
  stop_ = levels_.size() <= floor_;
}

// A broken element ends with what it found, its counts included (a count always gives one
// item); so does the document level at any error. Inside an element, reading goes on after an
// error that allows it, as it does when the element is skipped or read for its text.
void Scan::on_error(const xml::Event& ev) {
  if (xml::is_fatal(ev.error) || levels_.size() == 1) {
    close_level(reader_.buffer_position());
  }
}

// The next child of the level on top that some state wants (`first`, `named` as wanted()
// gives them), or the level's end: the reader passes the rest. `asked` counts the tags met.
[[gnu::always_inline]] inline xml::Event Scan::next_child(uint32_t& first, bool& named,
                                                          uint32_t& asked) noexcept {
  const uint64_t last_bytes = levels_.back().last_bytes;
  const bool counts_only = levels_.back().counts_only;
  return reader_.read_child([&](std::string_view qname) noexcept {
    ++asked;
    // A wanted name ends as one of the names looked for (after a prefix, if any).
    if (!qname.empty() &&
        (last_bytes >> (static_cast<unsigned char>(qname.back()) % 64) & 1) == 0) {
      return false;
    }
    first = wanted(qname, named);
    if (first == kNone) return false;
    if (counts_only) {
      count_child(qname, first);
      return false;
    }
    return true;
  });
}

void Scan::count_child(std::string_view qname, uint32_t first) noexcept {
  const size_t room = room_after(qname);
  const path::NameMatcher& asked = states_[first].at->name;
  for (size_t i = first, end = states_.size(); i < end; ++i) {
    State& s = states_[i];
    if (!s.idle && (i == first || s.at->name.same_short(asked) || names(qname, s.at->name, room))) {
      ++s.count;
    }
  }
}

// --- one element ----------------------------------------------------------------------------

// State `first` is the first at the level on top to care about this element: `named`, or
// searching its descendants.
void Scan::on_element(const xml::Event& tag, size_t start, bool empty, uint32_t first, bool named) {
  const auto end = static_cast<uint32_t>(states_.size());
  const auto work = static_cast<uint32_t>(work_.size());
  const uint32_t tasks = ntasks_;
  set_element(tag, start, empty);
  const size_t room = room_after(el_.qname);
  // Paths that share a prefix ask the same name at once (`catalog.book` of every path).
  const path::NameMatcher& asked = states_[first].at->name;
  for (uint32_t i = first; i < end; ++i) {
    const State& s = states_[i];
    if (s.idle) continue;
    if (i == first || s.at->name.same_short(asked) ? named
                                                   : names(el_.qname, s.at->name, room)) {
      match(i);
      if (error_) return;
    } else if (s.at->descendant && !empty) {
      // A descendant search goes on inside, with counts of its own and no early end.
      push_state(s.task, s.step, false);
    }
  }
  if (states_.size() == end && !empty && !el_.text && texts_.empty()) {
    // Not entered and no text wanted: skipped, then its captures taken (the common case).
    reader_.pass_child(el_.qname);
    if (el_.captures == 0 && work_.size() == work) return;  // a failed filter, another index
    const size_t stop = reader_.buffer_position();
    take_captures(stop);
    if (work_.size() > work) {
      run_work(work, start, stop, {});
      work_.resize(work);
      ntasks_ = tasks;
    }
    return;
  }
  if (states_.size() == end && work_.size() == work && el_.captures == 0) {
    // Matched, but nothing to do (a count, a failed filter, another index).
    if (!empty) pass(el_.qname);
    return;
  }
  if (states_.size() > end && !empty && work_.size() == work && el_.captures == 0 && !el_.text) {
    // Entered for its children alone (a descent, a descendant search).
    levels_.push_back(Level{end, work, tasks, start, el_.qname, false, el_.counts});
    if (scoped_) [[unlikely]] enter_scope(el_.tag->content, el_.tag->name_len);
    if (states_.capacity() < states_.size() + 3 * (states_.size() - end)) make_room();
    return;
  }
  place(end, work, tasks);
}

// State `i` matched the element's name.
[[gnu::always_inline]] inline void Scan::match(uint32_t i) {
  State& s = states_[i];
  const path::Step& step = *s.at;
  const uint64_t k = s.count++;
  switch (step.selector.kind) {
    case path::SelectorKind::Bare:
      // A step that must be unique: a second match in the same scope is an error.
      if (!s.last && !s.every && (!el_.empty || tasks_[s.task].options.guard_empty)) {
        if (s.seen) return raise(s.task, step.name.text());
        s.seen = true;
      }
      return s.last ? capture(s.task) : select(s.task, s.step + 1, s.top_level && !s.every);
    case path::SelectorKind::Each:
      if (s.every && step.descendant) [[unlikely]] return match_nested(i);
      return s.last ? capture(s.task) : select(s.task, s.step + 1, false);
    case path::SelectorKind::Index: {
      if (k != step.selector.index) return;
      const uint32_t task = s.task;
      const uint64_t before = tasks_[task].sink.size();
      select(task, s.step + 1, s.top_level);
      work_.push_back(Work{WorkKind::Settle, false, task, 0, i, before});
      return;
    }
    case path::SelectorKind::Count:
      return;
    case path::SelectorKind::FilterFirst:
    case path::SelectorKind::FilterAll: {
      const path::Filter* f = step.selector.filter.get();
      if (f == nullptr) return;
      if (f->tag_tests == path::Filter::TagTests::One) {
        // The usual attribute test, decided by the start tag.
        if (!attr_filter_holds(attrs_, f->tests[0])) return;
      } else {
        const Verdict tag =
            f->tag_tests == path::Filter::TagTests::None ? Verdict::Open : tag_verdict(*f);
        if (tag == Verdict::Open) {
          return filter(i, *f, step.selector.kind == path::SelectorKind::FilterFirst);
        }
        if (tag == Verdict::Fails) return;
      }
      // Decided by the start tag: the element is then selected like any other.
      const uint32_t task = s.task;
      if (step.selector.kind == path::SelectorKind::FilterAll) {
        return select(task, s.step + 1, false);
      }
      const uint64_t before = tasks_[task].sink.size();
      select(task, s.step + 1, s.top_level);
      work_.push_back(Work{WorkKind::Settle, el_.empty, task, 0, i, before});
      return;
    }
  }
}

// A filter's descendant search matched: it goes on inside the match for the matches nested
// there too.
[[gnu::noinline]] void Scan::match_nested(uint32_t i) {
  const State s = states_[i];
  if (s.last) {
    capture(s.task);
  } else {
    select(s.task, s.step + 1, false);
  }
  if (!el_.empty) push_state(s.task, s.step, false);
}

// A filter decided when the element ends, or as soon as its tests tell: meanwhile each test's
// path looks inside for an item that passes it, and the rest of this path runs there too, its
// items held back.
void Scan::filter(uint32_t i, const path::Filter& f, bool first) {
  const State s = states_[i];
  const std::span<const path::Step> rest = tasks_[s.task].steps.subspan(s.step + 1);
  // A rest that is an attribute of this very tag (`#(...)#.@id`) keeps its raw bytes in the
  // document: they are noted for the decision instead of a task of its own.
  std::optional<std::string_view> raw;
  const bool tag_rest = rest.size() == 1 && rest[0].kind == path::StepKind::Attr &&
                        (!(raw = attrs_.find_raw(rest[0].attr, rest[0].attr_ns)) ||
                         raw->size() < kNone);
  const uint32_t held = tag_rest ? kNone : new_task(Role::Rest, rest, s.task);
  const uint32_t group = ntasks_;
  for (const path::FilterTest& test : f.tests) {
    const uint32_t subject = new_task(Role::Subject, test.path, s.task, &test);
    Task& t = tasks_[subject];
    t.group = group;
    t.filter = &f;
    t.rest = held;
    if (test.attr) {
      t.verdict = tag_verdict(test);  // nothing to look for inside
      t.done = true;
    } else {
      select(subject, 0, true);
    }
  }
  if (tag_rest) {
    const size_t at = raw ? static_cast<size_t>(raw->data() - doc_.data()) : 0;
    const auto len = raw ? static_cast<uint32_t>(raw->size()) : 0;
    work_.push_back(
        Work{WorkKind::DecideAttr, raw.has_value(), group, len, first ? i : kNone, at});
    return;
  }
  select(held, 0, true);
  work_.push_back(Work{WorkKind::Decide, false, group, held, first ? i : kNone, 0});
}

// Reads the element just matched once, as its states and work need: entered, read for its
// text, or skipped; an empty element is entered and left at once.
void Scan::place(uint32_t child_states, uint32_t work, uint32_t tasks) {
  const xml::Event& tag = *el_.tag;
  if (states_.size() > child_states || el_.empty) {
    if (el_.captures > 0) {
      // Taken when the element ends, before the rest of its work (a settle counts them).
      for (uint32_t c = 0; c < el_.captures; ++c) {
        work_.push_back(Work{WorkKind::Capture, false, el_.capturing[c], 0, kNone, 0});
      }
      std::rotate(work_.begin() + work, work_.end() - el_.captures, work_.end());
    }
    levels_.push_back(
        Level{child_states, work, tasks, el_.start, tag.name(), el_.text, el_.counts});
    if (scoped_) [[unlikely]] enter_scope(tag.content, tag.name_len);
    const size_t room = states_.size() + 3 * (states_.size() - child_states);
    if (states_.capacity() < room) make_room();
    if (el_.text) texts_.emplace_back();
    if (el_.empty) close_level(reader_.buffer_position());
    return;
  }
  std::string_view text;
  if (el_.text || !texts_.empty()) {
    text = read_text_in_scope(reader_, text_, decode_, unescape_);
    gather(text);
  } else {
    reader_.pass_child(tag.name());
  }
  take_captures(reader_.buffer_position());
  run_work(work, el_.start, reader_.buffer_position(), text);
  work_.resize(work);
  ntasks_ = tasks;
}

// The element just matched is selected for `task`, which goes on with its steps from `step`.
[[gnu::always_inline]] inline void Scan::select(uint32_t task, uint32_t step, bool top_level) {
  const Task& t = tasks_[task];
  if (step == t.steps.size()) return capture(task);
  const path::Step& next = t.steps[step];
  switch (next.kind) {
    case path::StepKind::Attr:
      if (auto v = attrs_.find(next.attr, next.attr_ns)) {
        emit_value(task, *v);
      }
      return;
    case path::StepKind::Text:
      work_.push_back(Work{WorkKind::Text, false, task, 0, kNone, 0});
      el_.text = true;
      return;
    case path::StepKind::Element:
      push_state(task, step, top_level);
      return;
  }
}

[[gnu::always_inline]] inline void Scan::capture(uint32_t task) {
  Task& t = tasks_[task];
  if (el_.empty) {
    t.sink.empty_element(el_.tag->content);  // always a copy, as written
    return added(task);
  }
  if (t.sink.mode() == Sink::Mode::Count) {
    t.sink.value({});  // a count needs neither the bytes nor the end
    return added(task);
  }
  // An element whose text is wanted is read for it as it ends, unless only the last one is
  // kept: that one is read when the scan is over.
  const Sink::Mode mode = t.sink.mode();
  if (t.sink.keeps_next() &&
      ((t.options.element_text && mode != Sink::Mode::Last) || mode == Sink::Mode::Test)) {
    work_.push_back(Work{WorkKind::Text, false, task, 0, kNone, 0});
    el_.text = true;
  } else if (el_.captures < Element::kInlineCaptures) {
    el_.capturing[el_.captures++] = task;
  } else {
    work_.push_back(Work{WorkKind::Capture, false, task, 0, kNone, 0});
  }
}

// Matching at the level on top starts with states_ ending at that level's states, and each of
// them adds at most three (its own, a filter's subject and rest): reserved once per level, no
// state moves while the level's states are matched.
size_t Scan::room() const noexcept {
  return states_.size() + 3 * (states_.size() - levels_.back().states);
}

void Scan::make_room() { states_.reserve(std::max(room(), 2 * states_.capacity())); }

[[gnu::always_inline]] inline void Scan::push_state(uint32_t task, uint32_t step, bool top_level) {
  const std::span<const path::Step> steps = tasks_[task].steps;
  State s;
  s.at = &steps[step];
  s.task = task;
  s.step = step;
  s.top_level = top_level;
  s.last = step + 1 == steps.size();
  s.every = tasks_[task].options.every;
  el_.counts = el_.counts || s.at->selector.kind == path::SelectorKind::Count;
  searches_ = searches_ || s.at->descendant;
  states_.push_back(s);
}

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

// The captures noted at the tag of the element just read, which ends at `end`.
void Scan::take_captures(size_t end) {
  if (scoped_) [[unlikely]] ns_.mark(levels_.back().bindings);
  for (uint32_t c = 0; c < el_.captures; ++c) {
    const uint32_t task = el_.capturing[c];
    Task& t = tasks_[task];
    t.sink.element(doc_, el_.start, end, spans_);
    if (t.options.first_only) finish(task);  // a subject captures only once it has passed
  }
}

void Scan::run_work(uint32_t from, size_t start, size_t end, std::string_view text) {
  for (size_t w = from; w < work_.size() && !error_; ++w) {
    const Work item = work_[w];
    switch (item.kind) {
      case WorkKind::Capture: {
        Task& t = tasks_[item.task];
        if (!t.done) {
          if (scoped_) [[unlikely]] ns_.mark(levels_.back().bindings);
          t.sink.element(doc_, start, end, spans_);
          if (t.options.first_only) finish(item.task);
        }
        break;
      }
      case WorkKind::Text:
        if (!tasks_[item.task].done) emit_value(item.task, text);
        break;
      case WorkKind::Decide:
      case WorkKind::DecideAttr:
        decide(item);
        break;
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
    const std::string name = *rest.held;
    return raise(owner, name);
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

// A task that wants one item (or a subject, one that passes its test) has it.
[[gnu::always_inline]] inline void Scan::added(uint32_t task) {
  const Task& t = tasks_[task];
  if (t.options.first_only && t.sink.matched()) finish(task);
}

[[gnu::always_inline]] inline void Scan::emit_value(uint32_t task, std::string_view bytes) {
  tasks_[task].sink.value(bytes);
  added(task);
}

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
void Scan::raise(uint32_t task, const std::string& name) {
  Task& t = tasks_[task];
  if (t.role == Role::Path) {
    error_ = EngineError{name};
    stop_ = true;
    return;
  }
  // A rest (a filter's own paths never raise: every match counts there).
  if (!t.held) t.held = name;
  finish(task);
}

}  // namespace varnex::engine
