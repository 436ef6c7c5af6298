// The element walk: one forward pass, one frame per open level, kept on the heap.
//
// A level is pushed when a matched element is descended into or when a
// descendant search passes an element, so a deeply nested document grows a
// vector, never the C++ call stack.
#include <vector>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "xml/encoding.hpp"

namespace varnex::engine {

void consume_to_end(xml::Reader& reader, bool inside) {
  size_t depth = 1;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        ++depth;
        break;
      case xml::EventKind::End:
        if (inside && --depth == 0) return;
        break;
      case xml::EventKind::Eof:
        return;
      default:
        break;  // errors are skipped; a fatal one is followed by Eof
    }
  }
}

namespace {

// What the parent level is waiting for while a child level runs.
enum class Pending : uint8_t { None, Search, Descend };

struct Frame {
  const path::Step* steps = nullptr;  // steps[0] is this level's element step
  size_t nsteps = 0;
  uint64_t count = 0;       // children that matched the step's name so far
  size_t items_before = 0;  // item count when the pending descent began
  bool has_scope = false;
  bool top_level = false;
  bool seen = false;  // for the ambiguity rule
  Pending pending = Pending::None;

  [[nodiscard]] const path::Step& step() const noexcept { return steps[0]; }
  [[nodiscard]] std::span<const path::Step> rest() const noexcept {
    return {steps + 1, nsteps - 1};
  }
};

[[nodiscard]] bool stops_after_match(path::SelectorKind k) noexcept {
  return k == path::SelectorKind::Index || k == path::SelectorKind::FilterFirst;
}

// What handling one event asks of the main loop.
enum class Action : uint8_t { Next, Pushed, Stop, Exit };

class Walk {
 public:
  Walk(xml::Reader& reader, std::string_view doc, Items& items, EvalFlags flags)
      : reader_(reader), doc_(doc), items_(items), flags_(flags) {}

  Outcome run(const xml::Event* scope, std::span<const path::Step> steps) {
    if (!begin(scope, steps, flags_.top_level)) return exit_;
    return loop();
  }

 private:
  // Starts evaluating `steps` inside `scope`. Attribute and text steps finish
  // here (false, exit_ set); an element step pushes a level (true).
  bool begin(const xml::Event* scope, std::span<const path::Step> steps, bool top_level) {
    const path::Step& s = steps.front();
    switch (s.kind) {
      case path::StepKind::Text:
        if (scope != nullptr) {
          Value v;
          read_text_in_scope_into(reader_, v.bytes);
          items_.emplace_back(std::move(v));
        } else {
          items_.emplace_back(Value{});
        }
        exit_ = {};
        return false;
      case path::StepKind::Attr:
        if (scope != nullptr) {
          if (auto v = read_attr_view(scope->content, scope->name_len, s.attr, scratch_)) {
            items_.emplace_back(Value{std::string(*v)});
          }
        }
        consume_to_end(reader_, scope != nullptr);
        exit_ = {};
        return false;
      case path::StepKind::Element:
        break;
    }
    Frame f;
    f.steps = steps.data();
    f.nsteps = steps.size();
    f.has_scope = scope != nullptr;
    f.top_level = top_level;
    stack_.push_back(f);
    return true;
  }

  Outcome loop() {
    bool child_ended = false;  // the level that was on top ended normally; its parent resumes
    while (!stack_.empty()) {
      if (child_ended) {
        child_ended = false;
        Frame& f = stack_.back();
        const Pending pending = f.pending;
        f.pending = Pending::None;
        if (pending == Pending::Descend) {
          const bool matched = items_.size() > f.items_before;
          if (matched && stops_after_match(f.step().selector.kind)) {
            if (stop()) return {Flow::Done};
            child_ended = true;
            continue;
          }
        }
      }
      if (flags_.first_only && !items_.empty()) return {Flow::Done};

      const size_t pos = reader_.buffer_position();
      const xml::Event ev = reader_.read_event();
      Action action = Action::Next;
      switch (ev.kind) {
        case xml::EventKind::Start:
          action = on_start(ev, pos);
          break;
        case xml::EventKind::Empty:
          action = on_empty(ev);
          break;
        case xml::EventKind::End:
        case xml::EventKind::Eof: {
          const Frame& f = stack_.back();
          if (f.step().selector.kind == path::SelectorKind::Count) {
            items_.emplace_back(Value{std::to_string(f.count)});
          }
          stack_.pop_back();
          child_ended = true;
          break;
        }
        case xml::EventKind::Error:
          // A malformed scope ends quietly with what it found.
          stack_.pop_back();
          child_ended = true;
          break;
        default:
          break;
      }
      switch (action) {
        case Action::Next:
        case Action::Pushed:
          break;
        case Action::Stop:
          if (stop()) return {Flow::Done};
          child_ended = true;
          break;
        case Action::Exit:
          return exit_;
      }
    }
    return {};
  }

  // The stop rule for the level on top: true means the whole pass is done;
  // otherwise the rest of its scope is skipped and the level popped.
  bool stop() {
    const Frame& f = stack_.back();
    if (f.top_level) return true;
    consume_to_end(reader_, f.has_scope);
    stack_.pop_back();
    return false;
  }

  // descend_or_capture for the element whose start tag `ev` was just read.
  // Returns Pushed when a child level now runs, Exit on Done/Ambiguous,
  // otherwise Stop or Next by `stop_if_matched`.
  Action descend(const xml::Event& ev, size_t start, bool top_level, bool stop_if_matched) {
    const std::span<const path::Step> rest = stack_.back().rest();
    if (rest.empty()) {
      (void)reader_.read_to_end(ev.name());
      capture_element(doc_, start, reader_.buffer_position(), flags_.capture_spans, items_);
      return stop_if_matched ? Action::Stop : Action::Next;
    }
    const size_t before = items_.size();
    const size_t parent = stack_.size() - 1;
    if (begin(&ev, rest, top_level)) {
      Frame& p = stack_[parent];
      p.pending = Pending::Descend;
      p.items_before = before;
      return Action::Pushed;
    }
    if (exit_.stops()) return Action::Exit;
    return (stop_if_matched && items_.size() > before) ? Action::Stop : Action::Next;
  }

  Action on_start(const xml::Event& ev, size_t start) {
    Frame& f = stack_.back();
    const path::Step& step = f.step();
    const std::string_view name = ev.name();
    if (!name_matches(step.name, name)) {
      if (step.descendant) {
        // Search inside this element with the same steps; the pass no longer stops at top level.
        f.pending = Pending::Search;
        Frame child = f;
        child.count = 0;
        child.items_before = 0;
        child.has_scope = true;
        child.top_level = false;
        child.seen = false;
        child.pending = Pending::None;
        stack_.push_back(child);
        return Action::Pushed;
      }
      (void)reader_.read_to_end(name);
      return Action::Next;
    }
    const path::Selector& sel = step.selector;
    if (sel.kind == path::SelectorKind::Bare && f.nsteps > 1) {
      if (f.seen) return ambiguous(step);
      f.seen = true;
      ++f.count;
      return descend(ev, start, f.top_level, false);
    }
    const uint64_t before = f.count++;
    switch (sel.kind) {
      case path::SelectorKind::Bare:
        return descend(ev, start, f.top_level, false);
      case path::SelectorKind::Index:
        if (before == sel.index) return descend(ev, start, f.top_level, true);
        (void)reader_.read_to_end(name);
        return Action::Next;
      case path::SelectorKind::Count:
        (void)reader_.read_to_end(name);
        return Action::Next;
      case path::SelectorKind::Each:
        return descend(ev, start, false, false);
      case path::SelectorKind::FilterFirst:
      case path::SelectorKind::FilterAll:
        return on_filter_start(ev, start);
    }
    return Action::Next;
  }

  Action on_filter_start(const xml::Event& ev, size_t start) {
    const Frame& f = stack_.back();
    const path::Step& step = f.step();
    const bool first = step.selector.kind == path::SelectorKind::FilterFirst;
    if (!step.selector.filter) {
      (void)reader_.read_to_end(ev.name());
      return Action::Next;
    }
    const path::Filter& filter = *step.selector.filter;
    const std::span<const path::Step> rest = f.rest();
    if (filter.attr) {
      const auto v = read_attr_view(ev.content, ev.name_len, *filter.attr, scratch_);
      if (!v || !xml::is_valid_utf8(*v) || !compare(*v, filter.op, filter.value)) {
        (void)reader_.read_to_end(ev.name());
        return Action::Next;
      }
      return descend(ev, start, first ? f.top_level : false, first);
    }
    const FilterStart at{reader_, doc_, ev, start};
    const MatchOutcome m =
        is_streamable(filter, rest)
            ? stream_filter_scope(at, filter.path.front(), filter, rest, TerminalKind::Capture,
                                  flags_.capture_spans, items_)
            : general_filter(at, filter, rest, items_);
    if (m.outcome.stops()) {
      exit_ = m.outcome;
      return Action::Exit;
    }
    return (first && m.matched) ? Action::Stop : Action::Next;
  }

  Action on_empty(const xml::Event& ev) {
    Frame& f = stack_.back();
    const path::Step& step = f.step();
    if (!name_matches(step.name, ev.name())) return Action::Next;
    ++f.count;
    const bool check = step.selector.kind == path::SelectorKind::Bare && f.nsteps > 1;
    if (check) {
      if (f.seen) return ambiguous(step);
      f.seen = true;
    }
    const MatchOutcome m = handle_match_empty(ev, step.selector, f.count, f.rest(), items_);
    if (m.outcome.stops()) {
      exit_ = m.outcome;
      return Action::Exit;
    }
    return (m.matched && stops_after_match(step.selector.kind)) ? Action::Stop : Action::Next;
  }

  Action ambiguous(const path::Step& step) {
    exit_ = Outcome::ambiguous(step);
    return Action::Exit;
  }

  xml::Reader& reader_;
  std::string_view doc_;
  Items& items_;
  EvalFlags flags_;
  std::vector<Frame> stack_;
  Outcome exit_;
  std::string scratch_;  // attribute unescaping
};

}  // namespace

Outcome enter(xml::Reader& reader, std::string_view doc, const xml::Event* scope,
              std::span<const path::Step> steps, Items& items, EvalFlags flags) {
  if (steps.empty()) return {};
  Walk walk(reader, doc, items, flags);
  return walk.run(scope, steps);
}

std::optional<EngineError> run_with(const path::Program& program, std::string_view doc,
                                    bool capture_spans, Items& items) {
  items.clear();
  if (!program.steps.empty()) {
    EvalFlags flags;
    flags.capture_spans = capture_spans;
    flags.first_only =
        !program.modifiers.empty() && program.modifiers.front() == path::Modifier::First;
    flags.top_level = true;
    xml::Reader reader(doc, xml::Config::query());
    const Outcome o = enter(reader, doc, nullptr, program.steps, items, flags);
    if (o.flow == Flow::Ambiguous) {
      items.clear();
      return EngineError{o.step != nullptr ? o.step->name.text() : std::string()};
    }
  }
  apply_modifiers(program.modifiers, items, doc);
  return std::nullopt;
}

}  // namespace varnex::engine
