// Internal to the scan: the pass over the events and the matching of one element, written once
// as templates on whether names are read in their namespaces. scan.cpp instantiates the plain
// pass and scan_scoped.cpp the scoped one, each in a unit of its own: the plain pass is
// compiled with no trace of namespaces and with the whole of the compiler's inlining budget,
// as if the scoped one did not exist.
#pragma once

#include <algorithm>
#include <new>

#include "engine/internal.hpp"
#include "engine/scan.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

// --- the pass -------------------------------------------------------------------------------

template <bool Scoped>
std::optional<EngineError> Scan::within() {
  attrs_.remember(ntasks_ > 1);
  levels_.push_back(Level{0, 0, ntasks_, 0, {}, false, false});
  if constexpr (Scoped) in_force_.assign(1, ns_.size());
  floor_ = 1;
  for (;;) {
    const size_t start = reader_.buffer_position();
    const xml::Event ev = reader_.read_event();
    if (ev.kind == xml::EventKind::Eof) return std::nullopt;
    if (ev.kind != xml::EventKind::Start && ev.kind != xml::EventKind::Empty) continue;
    // Every path starts at this element, as if a step had just selected it.
    const auto child_states = static_cast<uint32_t>(states_.size());
    const auto work = static_cast<uint32_t>(work_.size());
    set_element<Scoped>(ev, start, ev.kind == xml::EventKind::Empty);
    if (states_.capacity() < room()) make_room();
    for (uint32_t task = 0; task < ntasks_ && !error_; ++task) select<Scoped>(task, 0, true);
    if (error_) return std::move(error_);
    if (states_.size() == child_states && work_.size() == work) return std::nullopt;
    place<Scoped>(child_states, work, ntasks_);
    break;
  }
  run_loop<Scoped>();
  return std::move(error_);
}

template <bool Scoped>
void Scan::run_loop() {
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
        // Below a flat level, the walk wanting nothing takes the reader to its end.
        if (!below_flat_level()) {
          skip_rest();
          continue;
        }
      } else {
        idle_check_ = false;
      }
    }
    if (level_walks()) {
      // Most tags mean nothing to anyone: unless text is gathered or every child is wanted,
      // the reader passes those itself, asking wanted() of each. Where it passes none (every
      // child wanted), events cost less.
      uint32_t first = kNone;
      bool named = false;
      uint32_t asked = 0;
      bool left = false;  // the tag given back is passed, and used
      const xml::Event ev = next_child<Scoped>(first, named, asked, left);
      if (out_of_memory_) [[unlikely]]
        throw std::bad_alloc();
      const bool tag = ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty;
      int8_t& walks = levels_.back().walks;
      walks = asked > static_cast<uint32_t>(tag) ? kWalks : static_cast<int8_t>(walks - 1);
      if (!left) on_event<Scoped>(ev, first, named);
      continue;
    }
    if constexpr (!Scoped) {
      if (levels_.back().flat) {
        const xml::Event ev = next_named();
        if (ev.kind == xml::EventKind::Eof && eof_levels_ == 0) eof_levels_ = open_levels();
        bool named = false;
        const bool tag = ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty;
        const uint32_t first = tag ? wanted<Scoped>(ev.name(), named) : kNone;
        on_event<Scoped>(ev, first, named);
        continue;
      }
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
      const uint32_t first = ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty
                                 ? wanted<Scoped>(ev.name(), named)
                                 : kNone;
      if (on_event<Scoped>(ev, first, named)) break;
    }
  }
}

template <bool Scoped>
void Scan::prolog() {
  while (!stop_) {
    const xml::Event ev = reader_.read_event();
    bool named = false;
    const bool tag = ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty;
    const uint32_t first = tag ? wanted<Scoped>(ev.name(), named) : kNone;
    if (on_event<Scoped>(ev, first, named)) break;
  }
}

// A tag, an end or an error at the level on top (`first`, `named` as wanted() gives them for
// a tag); false for anything else, which changes nothing.
template <bool Scoped>
[[gnu::always_inline]] inline bool Scan::on_event(const xml::Event& ev, uint32_t first,
                                                  bool named) {
  switch (ev.kind) {
    case xml::EventKind::Start:
    case xml::EventKind::Empty: on_tag<Scoped>(ev, first, named); return true;
    case xml::EventKind::Eof:
      if (eof_levels_ == 0) eof_levels_ = levels_.size();
      on_end();
      return true;
    case xml::EventKind::End: on_end(); return true;
    case xml::EventKind::Error: on_error(ev); return true;
    default: return false;
  }
}

// A start or empty tag at the level on top; `first` is the first state wanting it, if any.
template <bool Scoped>
[[gnu::always_inline]] inline void Scan::on_tag(const xml::Event& ev, uint32_t first, bool named) {
  const std::string_view qname = ev.name();
  // A tag's content follows its '<' directly.
  const size_t start = static_cast<size_t>(ev.content.data() - doc_.data()) - 1;
  if (first != kNone && !named && first + 1 == states_.size() && ev.kind == xml::EventKind::Start) {
    // Only a descendant search, which goes on inside (the common case of `**`): a new level
    // with a fresh copy of its state. A leaf has nothing inside to search: it is passed with
    // its end tag, unless its text is gathered.
    if (texts_.empty() && reader_.pass_leaf(qname)) return;
    State inside = states_[first];
    inside.count = 0;
    inside.seen = false;
    inside.top_level = false;
    const auto end = static_cast<uint32_t>(states_.size());
    states_.push_back(inside);
    // Unless text is gathered or names are scoped, the level is flat (level_walks).
    const int8_t walks = Scoped || !texts_.empty() ? 0 : -1;
    enter_level<Scoped>(
        Level{end, static_cast<uint32_t>(work_.size()), ntasks_, start, qname, false, false, walks},
        &ev);
  } else if (first != kNone) {
    if (!Scoped && named && first + 1 == states_.size() && ev.kind == xml::EventKind::Start &&
        descend(first, start, qname)) {
      return;
    }
    on_element<Scoped>(ev, start, ev.kind == xml::EventKind::Empty, first, named);
  } else if (ev.kind == xml::EventKind::Start) {
    pass(qname);
  }
}

// As on_element and match do it for a step `#` whose path goes on among the children.
[[gnu::always_inline]] inline bool Scan::descend(uint32_t first, size_t start,
                                                 std::string_view qname) {
  State& s = states_[first];
  const path::Step& step = *s.at;
  if (step.selector.kind != path::SelectorKind::Each || s.last || step.descendant ||
      tasks_[s.task].steps[s.step + 1].kind != path::StepKind::Element) {
    return false;
  }
  ++s.count;
  const auto end = static_cast<uint32_t>(states_.size());
  el_.counts = false;
  push_state(s.task, s.step + 1, false);
  enter_level<false>(
      Level{end, static_cast<uint32_t>(work_.size()), ntasks_, start, qname, false, el_.counts},
      nullptr);
  return true;
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

// The next child of the level on top that some state wants (`first`, `named` as wanted()
// gives them), or the level's end: the reader passes the rest. `asked` counts the tags met.
template <bool Scoped>
[[gnu::always_inline]] inline xml::Event Scan::next_child(uint32_t& first, bool& named,
                                                          uint32_t& asked, bool& left) noexcept {
  const uint64_t tails = levels_.back().tails;
  const bool counts_only = levels_.back().counts_only;
  const bool tag_decides = levels_.back().tag_decides;
  const bool uses_leaves = levels_.back().uses_leaves;
  return reader_.read_child([&](const xml::Event& tag) __attribute__((always_inline)) {
    ++asked;
    const std::string_view qname = tag.name();
    // A wanted name falls where one of the names looked for does.
    if (!qname.empty() && (tails >> path::name_tail(qname) & 1) == 0) return xml::Wanted::No;
    first = wanted<Scoped>(qname, named);
    if (first == kNone) return xml::Wanted::No;
    if (counts_only || tag_decides || uses_leaves) [[unlikely]] {
      if (uses_leaves) {
        const xml::Wanted w = use_leaf(qname, first);
        left = w == xml::Wanted::Left;
        return w;
      }
      return tag_decides ? by_tag<Scoped>(qname, first, named) : count_child<Scoped>(qname, first);
    }
    return xml::Wanted::Yes;
  });
}

[[gnu::always_inline]] inline xml::Event Scan::next_named() noexcept {
  Level& top = levels_.back();
  const uint64_t tails = top.tails;
  const size_t from = top.states;
  const size_t end = states_.size();
  const bool counts_only = top.counts_only;
  return reader_.read_descendant(
      top.below, [&](std::string_view qname) __attribute__((always_inline)) {
        if (!qname.empty() && (tails >> path::name_tail(qname) & 1) == 0) {
          return xml::Descend::Into;
        }
        const size_t room = room_after(qname);
        for (size_t i = from; i < end; ++i) {
          const State& s = states_[i];
          if (s.idle || !names<false>(qname, s.at->name, room)) continue;
          if (!counts_only) return xml::Descend::Give;
          // What matching it would do: count it, pass it.
          tasks_[s.task].sink.count_one();
          return xml::Descend::Pass;
        }
        return xml::Descend::Into;
      });
}

// Whether some state from `first` on that names the tag `qname` (`first` does when `named`),
// whose content is `content`, has its filter hold on it; where every one fails, matching the
// element would do nothing.
[[gnu::noinline]] inline bool Scan::some_filter_holds(std::string_view qname,
                                                      std::string_view content, uint32_t first,
                                                      bool named) {
  const size_t room = room_after(qname);
  const path::NameMatcher& asked = states_[first].at->name;
  attrs_.reset(content, qname.size());
  for (size_t i = first, end = states_.size(); i < end; ++i) {
    const State& s = states_[i];
    if (s.idle) continue;
    if (i == first || s.at->name.same_short(asked) ? named
                                                   : names<false>(qname, s.at->name, room)) {
      if (attr_filter_holds<false>(attrs_, s.at->selector.filter->tests[0])) return true;
    }
  }
  return false;
}

// A record asked of at a level whose filters its tag decides: given when one holds, else
// passed with the next siblings that fail them too.
template <bool Scoped>
[[gnu::noinline]] xml::Wanted Scan::by_tag(std::string_view qname, uint32_t first, bool named) {
  if (qname.data() == held_tag_) {
    held_tag_ = nullptr;
    return xml::Wanted::Yes;
  }
  if (some_filter_holds(qname, reader_.tag_content(qname), first, named)) return xml::Wanted::Yes;
  if constexpr (!Scoped) {
    if (reader_.tag_opens()) {
      FailingRun run{this, qname, first, named};
      (void)reader_.pass_siblings(qname, {&Scan::fails_filters, &run});
      return xml::Wanted::Passed;
    }
  }
  return xml::Wanted::No;
}

[[gnu::noinline]] inline xml::Wanted Scan::use_leaf(std::string_view qname,
                                                    uint32_t first) noexcept {
  if (!reader_.tag_opens()) return xml::Wanted::Yes;
  // Which uses name it (the usual level has one state): a leaf's element is its tag to the end
  // tag of its name, and its text what comes before the first end tag, as the events would read
  // them; both at once are left to the events.
  const size_t end = states_.size();
  const auto tests_with = [&](size_t i) __attribute__((always_inline)) {
    return tasks_[states_[i].task].sink.mode() == Sink::Mode::Test;
  };
  bool tests = tests_with(first);
  bool takes = !tests;
  uint64_t others = 0;  // bit k: state first + 1 + k names it too
  if (first + 1 < end) [[unlikely]] {
    if (end - first > 64) return xml::Wanted::Yes;  // more than the mask holds: the events
    const size_t room = room_after(qname);
    const path::NameMatcher& asked = states_[first].at->name;
    for (size_t i = first + 1; i < end; ++i) {
      const State& s = states_[i];
      if (s.idle || !(s.at->name.same_short(asked) || names<false>(qname, s.at->name, room))) {
        continue;
      }
      others |= uint64_t{1} << (i - first - 1);
      (tests_with(i) ? tests : takes) = true;
    }
    if (tests && takes) return xml::Wanted::Yes;
  }
  const auto start = static_cast<size_t>(qname.data() - doc_.data()) - 1;
  std::string_view raw;
  if (takes ? !reader_.pass_leaf<true>(qname) : !reader_.read_leaf_text(&raw)) {
    return xml::Wanted::Yes;  // nothing read
  }
  const size_t stop = reader_.buffer_position();
  const auto use = [&](size_t i) __attribute__((always_inline)) {
    State& s = states_[i];
    ++s.count;
    if (takes) {
      tasks_[s.task].sink.element(doc_, start, stop, spans_);
    } else {
      emit_value(s.task, text_piece(reader_.encoding(), raw, decode_, unescape_));
    }
  };
  try {
    use(first);
    // A test that settles its filter may leave a later state idle: it then uses nothing.
    for (; others != 0; others &= others - 1) {
      const size_t i = first + 1 + static_cast<size_t>(__builtin_ctzll(others));
      if (!states_[i].idle) use(i);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
    stop_ = true;
  }
  // A test that has its answer may leave nothing for this level to look for: back to the
  // loop, which then passes the rest of the element at once.
  return (tests && level_idle()) || stop_ ? xml::Wanted::Left : xml::Wanted::Passed;
}

// A child asked of at a level that only counts: counted, and without namespaces (where the
// name alone says which states count it) passed with its run of siblings of that name, all
// counted at once.
template <bool Scoped>
[[gnu::noinline]] xml::Wanted Scan::count_child(std::string_view qname, uint32_t first) noexcept {
  if (!Scoped && reader_.tag_opens()) {
    count_children<Scoped>(qname, first, reader_.pass_siblings(qname));
    return xml::Wanted::Passed;
  }
  count_children<Scoped>(qname, first, 1);
  return xml::Wanted::No;
}

template <bool Scoped>
void Scan::count_children(std::string_view qname, uint32_t first, uint64_t times) noexcept {
  const size_t room = room_after(qname);
  const path::NameMatcher& asked = states_[first].at->name;
  for (size_t i = first, end = states_.size(); i < end; ++i) {
    State& s = states_[i];
    if (!s.idle &&
        (i == first || s.at->name.same_short(asked) || names<Scoped>(qname, s.at->name, room))) {
      s.count += times;
      if (s.at->selector.kind != path::SelectorKind::Count) tasks_[s.task].sink.count(times);
    }
  }
}

// --- one element ----------------------------------------------------------------------------

// State `first` is the first at the level on top to care about this element: `named`, or
// searching its descendants.
template <bool Scoped>
void Scan::on_element(const xml::Event& tag, size_t start, bool empty, uint32_t first, bool named) {
  const auto end = static_cast<uint32_t>(states_.size());
  const auto work = static_cast<uint32_t>(work_.size());
  const uint32_t tasks = ntasks_;
  set_element<Scoped>(tag, start, empty);
  const size_t room = room_after(el_.qname);
  // Paths that share a prefix ask the same name at once (`catalog.book` of every path).
  const path::NameMatcher& asked = states_[first].at->name;
  for (uint32_t i = first; i < end; ++i) {
    const State& s = states_[i];
    if (s.idle) continue;
    if (i == first || s.at->name.same_short(asked) ? named
                                                   : names<Scoped>(el_.qname, s.at->name, room)) {
      match<Scoped>(i);
      if (error_) return;
    } else if (s.at->descendant && !empty) {
      // A descendant search goes on inside, with counts of its own and no early end.
      push_state(s.task, s.step, false);
    }
  }
  if (states_.size() == end && !empty && !el_.text && texts_.empty()) {
    // Not entered and no text wanted: skipped, then its captures taken (the common case); an
    // observer of the one capture may pass it itself, reading it on the way.
    ItemObserver* passes = el_.captures == 1 && work_.size() == work
                               ? tasks_[el_.capturing[0]].sink.observer()
                               : nullptr;
    if (passes != nullptr && passes->reads_inside) {
      passes->pass_inside(reader_, *el_.tag, start);
    } else if (!reader_.pass_leaf<true>(el_.qname)) {  // the usual field, without a call
      reader_.pass_element(el_.qname);
    }
    if (el_.captures == 0 && work_.size() == work) return;  // a failed filter, another index
    const size_t stop = reader_.buffer_position();
    take_captures<Scoped>(stop);
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
    enter_level<Scoped>(Level{end, work, tasks, start, el_.qname, false, el_.counts}, el_.tag);
    return;
  }
  place<Scoped>(end, work, tasks);
}

// State `i` matched the element's name.
template <bool Scoped>
[[gnu::always_inline]] inline void Scan::match(uint32_t i) {
  State& s = states_[i];
  const path::Step& step = *s.at;
  const uint64_t k = s.count++;
  switch (step.selector.kind) {
    case path::SelectorKind::Bare:
      // A step that must be unique: a second match in the same scope is an error.
      if (!s.last && !s.every && (!el_.empty || tasks_[s.task].options.guard_empty)) {
        if (s.seen) return raise(s.task, step.name.text(), el_.start);
        s.seen = true;
      }
      return s.last ? capture<Scoped>(s.task)
                    : select<Scoped>(s.task, s.step + 1, s.top_level && !s.every);
    case path::SelectorKind::Each:
      if (s.every && step.descendant) [[unlikely]]
        return match_nested<Scoped>(i);
      return s.last ? capture<Scoped>(s.task) : select<Scoped>(s.task, s.step + 1, false);
    case path::SelectorKind::Index: {
      if (k != step.selector.index) return;
      const uint32_t task = s.task;
      const uint64_t before = tasks_[task].sink.size();
      select<Scoped>(task, s.step + 1, s.top_level);
      work_.push_back(Work{WorkKind::Settle, false, task, 0, i, before});
      return;
    }
    case path::SelectorKind::Count: return;
    case path::SelectorKind::FilterFirst:
    case path::SelectorKind::FilterAll: {
      const path::Filter* f = step.selector.filter.get();
      if (f == nullptr) return;
      if (f->tag_tests == path::Filter::TagTests::One) {
        // The usual attribute test, decided by the start tag.
        if (!attr_filter_holds<Scoped>(attrs_, f->tests[0])) return;
      } else {
        const Verdict tag =
            f->tag_tests == path::Filter::TagTests::None ? Verdict::Open : tag_verdict<Scoped>(*f);
        if (tag == Verdict::Open) {
          return filter<Scoped>(i, *f, step.selector.kind == path::SelectorKind::FilterFirst);
        }
        if (tag == Verdict::Fails) return;
      }
      // Decided by the start tag: the element is then selected like any other.
      const uint32_t task = s.task;
      if (step.selector.kind == path::SelectorKind::FilterAll) {
        return select<Scoped>(task, s.step + 1, false);
      }
      const uint64_t before = tasks_[task].sink.size();
      select<Scoped>(task, s.step + 1, s.top_level);
      work_.push_back(Work{WorkKind::Settle, el_.empty, task, 0, i, before});
      return;
    }
  }
}

// A filter's descendant search matched: it goes on inside the match for the matches nested
// there too.
template <bool Scoped>
[[gnu::noinline]] void Scan::match_nested(uint32_t i) {
  const State s = states_[i];
  if (s.last) {
    capture<Scoped>(s.task);
  } else {
    select<Scoped>(s.task, s.step + 1, false);
  }
  if (!el_.empty) push_state(s.task, s.step, false);
}

// A filter decided when the element ends, or as soon as its tests tell: meanwhile each test's
// path looks inside for an item that passes it, and the rest of this path runs there too, its
// items held back.
template <bool Scoped>
void Scan::filter(uint32_t i, const path::Filter& f, bool first) {
  const State s = states_[i];
  const std::span<const path::Step> rest = tasks_[s.task].steps.subspan(s.step + 1);
  // A rest that is an attribute of this very tag (`#(...)#.@id`) keeps its raw bytes in the
  // document: they are noted for the decision instead of a task of its own.
  std::optional<std::string_view> raw;
  const bool tag_rest =
      rest.size() == 1 && rest[0].kind == path::StepKind::Attr &&
      (!(raw = attrs_.find_raw<Scoped>(rest[0].attr, rest[0].attr_ns)) || raw->size() < kNone);
  const uint32_t held = tag_rest ? kNone : new_task(Role::Rest, rest, s.task);
  const uint32_t group = ntasks_;
  for (const path::FilterTest& test : f.tests) {
    const uint32_t subject = new_task(Role::Subject, test.path, s.task, &test);
    Task& t = tasks_[subject];
    t.group = group;
    t.filter = &f;
    t.rest = held;
    if (test.attr) {
      t.verdict = tag_verdict<Scoped>(test);  // nothing to look for inside
      t.done = true;
    } else {
      select<Scoped>(subject, 0, true);
    }
  }
  if (tag_rest) {
    const size_t at = raw ? static_cast<size_t>(raw->data() - doc_.data()) : 0;
    const auto len = raw ? static_cast<uint32_t>(raw->size()) : 0;
    work_.push_back(Work{WorkKind::DecideAttr, raw.has_value(), group, len, first ? i : kNone, at});
    return;
  }
  select<Scoped>(held, 0, true);
  work_.push_back(Work{WorkKind::Decide, false, group, held, first ? i : kNone, 0});
}

// Reads the element just matched once, as its states and work need: entered, read for its
// text, or skipped; an empty element is entered and left at once.
template <bool Scoped>
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
    enter_level<Scoped>(
        Level{child_states, work, tasks, el_.start, tag.name(), el_.text, el_.counts}, &tag);
    if (el_.text) texts_.emplace_back();
    if (el_.empty) close_level(reader_.buffer_position());
    return;
  }
  std::string_view text;
  if (el_.text || !texts_.empty()) {
    text = read_text_in_scope(reader_, text_, decode_, unescape_);
    gather(text);
  } else if (!reader_.pass_leaf<true>(tag.name())) {
    reader_.pass_element(tag.name());
  }
  take_captures<Scoped>(reader_.buffer_position());
  run_work(work, el_.start, reader_.buffer_position(), text);
  work_.resize(work);
  ntasks_ = tasks;
}

// The element just matched is selected for `task`, which goes on with its steps from `step`.
template <bool Scoped>
[[gnu::always_inline]] inline void Scan::select(uint32_t task, uint32_t step, bool top_level) {
  const Task& t = tasks_[task];
  if (step == t.steps.size()) return capture<Scoped>(task);
  const path::Step& next = t.steps[step];
  switch (next.kind) {
    case path::StepKind::Attr:
      if (auto v = attrs_.find<Scoped>(next.attr, next.attr_ns)) {
        emit_value(task, *v);
      }
      return;
    case path::StepKind::Text:
      work_.push_back(Work{WorkKind::Text, false, task, 0, kNone, 0});
      el_.text = true;
      return;
    case path::StepKind::Element: push_state(task, step, top_level); return;
  }
}

template <bool Scoped>
[[gnu::always_inline]] inline void Scan::capture(uint32_t task) {
  Task& t = tasks_[task];
  if (el_.empty) {
    if constexpr (Scoped) ns_.mark(in_force());  // an observer hears of it right away
    t.sink.empty_element(el_.tag->content);      // always a copy, as written
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

// The captures noted at the tag of the element just read, which ends at `end`.
template <bool Scoped>
void Scan::take_captures(size_t end) {
  if constexpr (Scoped) ns_.mark(in_force());
  for (uint32_t c = 0; c < el_.captures; ++c) {
    const uint32_t task = el_.capturing[c];
    Task& t = tasks_[task];
    t.sink.element(doc_, el_.start, end, spans_);
    if (t.options.first_only) finish(task);  // a subject captures only once it has passed
  }
}

// A task that wants one item (or a subject, one that passes its test) has it.
[[gnu::always_inline]] inline void Scan::added(uint32_t task) {
  const Task& t = tasks_[task];
  if (t.options.first_only && t.sink.matched()) finish(task);
}

[[gnu::always_inline]] inline void Scan::emit_value(uint32_t task, std::string_view bytes) {
  tasks_[task].sink.value(bytes);
  added(task);
}

}  // namespace varnex::engine
