// The multi-path scan: several programs answered in one forward pass.
//
// Each program keeps one state per open level; at every start tag the scan
// decides once, for all states together, whether the element is entered,
// skipped, captured or filtered. Open levels live on a heap stack, so deep
// nesting grows vectors, never the C++ call stack.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "xml/encoding.hpp"

namespace varnex::engine {

namespace {

// A short sequence kept in place; only longer ones move to the heap.
template <class T, size_t N>
class InlineVec {
 public:
  void push_back(const T& value) {
    if (heap_.empty() && size_ < N) {
      inline_[size_++] = value;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_.begin(), inline_.begin() + size_);
    heap_.push_back(value);
    ++size_;
  }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] const T& operator[](size_t i) const noexcept {
    return heap_.empty() ? inline_[i] : heap_[i];
  }

 private:
  std::array<T, N> inline_{};
  size_t size_ = 0;
  std::vector<T> heap_;
};

enum class ActionKind : uint8_t {
  Ignore = 0,
  KeepSearching = 1,
  Tally = 2,
  Capture = 3,
  Descend = 4,
  CheckFilter = 5,
};

// One action per state of the level, in state order; the steps involved
// follow from the state (Descend goes on with the next step, CheckFilter
// tests the state's own step).
using Actions = InlineVec<ActionKind, 16>;

// One program's progress inside one open element (or the document level).
struct ManyState {
  uint32_t program = 0;
  uint32_t step = 0;
  uint64_t counter = 0;  // children that matched `step` at this level
  bool guard = false;    // Bare and not the last step: a second match is ambiguous
  bool seen = false;
  bool tally = false;   // Count: the counter is appended when the level ends
  bool single = false;  // Index or FilterFirst: one match finishes the state
  bool satisfied = false;
};

struct Level {
  size_t begin = 0;  // this level's states are states_[begin, next level's begin)
  bool nested = false;
  bool post = false;  // a PostWork waits for this level to end
};

// Work left for an entered element once its content has been scanned.
struct PostWork {
  size_t start = 0;
  xml::Event tag;  // views into the document, which outlives the scan
  Actions actions;
  std::vector<uint32_t> text_programs;  // programs whose #text step stands here
};

bool is_element_step(const path::Program& p, uint32_t step) {
  return step < p.steps.size() && p.steps[step].kind == path::StepKind::Element;
}

bool is_simple_step(const path::Step& s, bool allow_selectors) {
  if (s.kind != path::StepKind::Element || s.descendant) return false;
  const auto k = s.selector.kind;
  if (k == path::SelectorKind::Bare) return true;
  return allow_selectors && (k == path::SelectorKind::Index || k == path::SelectorKind::Each);
}

TerminalKind terminal_kind(path::CollectMode mode) {
  return static_cast<TerminalKind>(static_cast<uint8_t>(mode));
}

class ManyScan {
 public:
  ManyScan(const std::vector<const path::Program*>& programs, std::string_view doc,
           bool capture_spans, std::vector<Items>& results)
      : programs_(programs), doc_(doc), capture_spans_(capture_spans), results_(results) {
    first_only_.resize(programs.size(), false);
    all_first_only_ = true;
    bool any = false;
    for (size_t p = 0; p < programs.size(); ++p) {
      if (!is_active(p)) continue;
      any = true;
      const auto& mods = programs[p]->modifiers;
      first_only_[p] = !mods.empty() && mods.front() == path::Modifier::First;
      all_first_only_ = all_first_only_ && first_only_[p];
    }
    all_first_only_ = all_first_only_ && any;
  }

  [[nodiscard]] bool is_active(size_t p) const {
    return programs_[p] != nullptr && !programs_[p]->steps.empty();
  }

  // The document level: states at step 0 for every active program.
  Outcome run_document() {
    xml::Reader reader(doc_, xml::Config::query());
    reader_ = &reader;
    for (size_t p = 0; p < programs_.size(); ++p) {
      if (is_active(p)) states_.push_back(make_state(static_cast<uint32_t>(p), 0));
    }
    // As in the single-path walk: #text at document level is the empty text,
    // an attribute there is nothing.
    std::vector<uint32_t> text_programs;
    drop_non_element_states(0, nullptr, text_programs);
    for (uint32_t p : text_programs) results_[p].emplace_back(Value{});
    return scan(false);
  }

  // The element held by doc_: its own attributes and text first, then its children.
  Outcome run_element() {
    xml::Reader reader(doc_, xml::Config::query());
    reader_ = &reader;
    for (;;) {
      const xml::Event ev = reader.read_event();
      if (ev.kind == xml::EventKind::Eof || ev.kind == xml::EventKind::Error) return {};
      if (ev.kind != xml::EventKind::Start && ev.kind != xml::EventKind::Empty) continue;
      for (size_t p = 0; p < programs_.size(); ++p) {
        if (is_active(p)) states_.push_back(make_state(static_cast<uint32_t>(p), 0));
      }
      std::vector<uint32_t> text_programs;
      collect_many_attr_text(ev, 0, text_programs);
      if (ev.kind == xml::EventKind::Empty) {
        for (uint32_t p : text_programs) results_[p].emplace_back(Value{});
        return {};
      }
      if (!text_programs.empty()) {
        const std::string text = extract_element_text(doc_);
        for (uint32_t p : text_programs) results_[p].emplace_back(Value{text});
      }
      return scan(true);
    }
  }

 private:
  ManyState make_state(uint32_t program, uint32_t step) const {
    ManyState s;
    s.program = program;
    s.step = step;
    const path::Program& p = *programs_[program];
    if (is_element_step(p, step)) {
      const auto k = p.steps[step].selector.kind;
      s.guard = k == path::SelectorKind::Bare && step + 1 < p.steps.size();
      s.tally = k == path::SelectorKind::Count;
      s.single = k == path::SelectorKind::Index || k == path::SelectorKind::FilterFirst;
    }
    return s;
  }

  [[nodiscard]] bool served(uint32_t p) const { return first_only_[p] && !results_[p].empty(); }

  [[nodiscard]] bool all_served() const {
    for (size_t p = 0; p < programs_.size(); ++p) {
      if (is_active(p) && results_[p].empty()) return false;
    }
    return true;
  }

  // Serves the attribute steps of states_[from, end) from `tag`, notes the
  // programs standing at #text, and removes both kinds of state.
  void collect_many_attr_text(const xml::Event& tag, size_t from,
                              std::vector<uint32_t>& text_programs) {
    drop_non_element_states(from, &tag, text_programs);
  }

  void drop_non_element_states(size_t from, const xml::Event* tag,
                               std::vector<uint32_t>& text_programs) {
    size_t out = from;
    for (size_t i = from; i < states_.size(); ++i) {
      const ManyState s = states_[i];
      const path::Program& p = *programs_[s.program];
      if (s.step < p.steps.size()) {
        const path::Step& step = p.steps[s.step];
        if (step.kind == path::StepKind::Attr) {
          if (tag != nullptr) {
            if (auto v = read_attr_view(tag->content, tag->name_len, step.attr, scratch_)) {
              results_[s.program].emplace_back(Value{std::string(*v)});
            }
          }
          continue;
        }
        if (step.kind == path::StepKind::Text) {
          text_programs.push_back(s.program);
          continue;
        }
      }
      states_[out++] = s;
    }
    states_.resize(out);
  }

  [[nodiscard]] bool any_element_state(size_t from) const {
    for (size_t i = from; i < states_.size(); ++i) {
      if (is_element_step(*programs_[states_[i].program], states_[i].step)) return true;
    }
    return false;
  }

  // Runs levels until the one pushed here (and everything above it) ends.
  Outcome scan(bool nested) {
    const size_t base = levels_.size();
    if (Outcome o = push_level(0, nested, false); o.stops()) return o;
    while (levels_.size() > base) {
      if (all_first_only_ && all_served()) return {Flow::Done};
      const size_t pos = reader_->buffer_position();
      const xml::Event ev = reader_->read_event();
      Outcome o;
      switch (ev.kind) {
        case xml::EventKind::Start:
          o = on_start(ev, pos);
          break;
        case xml::EventKind::Empty:
          o = on_empty(ev);
          break;
        case xml::EventKind::End:
        case xml::EventKind::Eof:
          append_tallies();
          o = finish_level();
          break;
        case xml::EventKind::Error:
          // A malformed level ends quietly with what it found.
          o = finish_level();
          break;
        default:
          break;
      }
      if (o.stops()) return o;
    }
    return {};
  }

  // Opens a level over states_[begin, end). A level where no state still
  // looks for elements is skipped whole.
  Outcome push_level(size_t begin, bool nested, bool post) {
    levels_.push_back({begin, nested, post});
    if (!any_element_state(begin)) {
      consume_to_end(*reader_, nested);
      return finish_level();
    }
    return {};
  }

  void append_tallies() {
    for (size_t i = levels_.back().begin; i < states_.size(); ++i) {
      if (states_[i].tally) {
        results_[states_[i].program].emplace_back(Value{std::to_string(states_[i].counter)});
      }
    }
  }

  // Pops the level on top; the element that opened it may still have work.
  Outcome finish_level() {
    const Level lv = levels_.back();
    levels_.pop_back();
    states_.resize(lv.begin);
    if (!lv.post) return {};
    PostWork work = std::move(post_.back());
    post_.pop_back();
    const size_t end = reader_->buffer_position();
    serve_text(work.text_programs, work.start, end);
    return handle_actions(work.actions, work.tag, work.start, end);
  }

  std::string_view range(size_t start, size_t end) const {
    end = std::min(end, doc_.size());
    start = std::min(start, end);
    return doc_.substr(start, end - start);
  }

  void serve_text(const std::vector<uint32_t>& programs, size_t start, size_t end) {
    if (programs.empty()) return;
    const std::string text = extract_element_text(range(start, end));
    for (uint32_t p : programs) results_[p].emplace_back(Value{text});
  }

  // First element of the level on top's states.
  [[nodiscard]] size_t level_begin() const { return levels_.back().begin; }

  Outcome on_start(const xml::Event& ev, size_t start) {
    const size_t begin = level_begin();
    const size_t end = states_.size();
    const std::string_view qname = ev.name();

    // One action per state.
    Actions actions;
    bool enter = false;
    size_t filters = 0;
    size_t filter_state = 0;
    size_t captures = 0;
    bool captures_all_text = true;    // every capturing program collects texts
    bool captures_all_counts = true;  // every capturing program only counts
    for (size_t i = begin; i < end; ++i) {
      ManyState& s = states_[i];
      ActionKind kind = ActionKind::Ignore;
      const path::Program& p = *programs_[s.program];
      if (!s.satisfied && !served(s.program) && is_element_step(p, s.step)) {
        const path::Step& step = p.steps[s.step];
        if (!name_matches(step.name, qname)) {
          if (step.descendant) kind = ActionKind::KeepSearching;
        } else {
          const uint64_t k = s.counter++;
          const path::Selector& sel = step.selector;
          bool select = false;
          switch (sel.kind) {
            case path::SelectorKind::FilterFirst:
            case path::SelectorKind::FilterAll:
              kind = ActionKind::CheckFilter;
              break;
            case path::SelectorKind::Count:
              kind = ActionKind::Tally;
              break;
            case path::SelectorKind::Index:
              select = k == sel.index;
              break;
            case path::SelectorKind::Bare:
            case path::SelectorKind::Each:
              select = true;
              break;
          }
          if (select) {
            if (s.step + 1 == p.steps.size()) {
              kind = ActionKind::Capture;
            } else {
              if (s.guard && s.seen) return Outcome::ambiguous(step);
              s.seen = s.guard;
              kind = ActionKind::Descend;
            }
          }
        }
      }
      switch (kind) {
        case ActionKind::KeepSearching:
        case ActionKind::Descend:
          enter = true;
          break;
        case ActionKind::CheckFilter:
          ++filters;
          filter_state = i;
          break;
        case ActionKind::Capture:
          ++captures;
          captures_all_text = captures_all_text && p.collect_mode == path::CollectMode::CollectAll;
          captures_all_counts =
              captures_all_counts && p.collect_mode == path::CollectMode::CountOnly;
          break;
        default:
          break;
      }
      actions.push_back(kind);
    }

    if (enter) return enter_element(ev, start, std::move(actions), filters + captures > 0);
    if (filters == 1 && captures == 0) {
      if (auto o = try_stream_filter(ev, start, filter_state)) return *o;
    }
    if (filters == 0 && captures > 0 && captures_all_text) {
      const std::string text = read_text_in_scope(*reader_);
      for (size_t i = 0; i < actions.size(); ++i) {
        if (actions[i] != ActionKind::Capture) continue;
        ManyState& s = states_[begin + i];
        results_[s.program].emplace_back(Value{text});
        if (s.single) s.satisfied = true;
      }
      return {};
    }
    (void)reader_->read_to_end(qname);
    if (filters == 0 && (captures == 0 || captures_all_counts)) {
      for (size_t i = 0; i < actions.size(); ++i) {
        if (actions[i] != ActionKind::Capture) continue;
        ManyState& s = states_[begin + i];
        results_[s.program].emplace_back(Value{});
        if (s.single) s.satisfied = true;
      }
      return {};
    }
    return handle_actions(actions, ev, start, reader_->buffer_position());
  }

  Outcome enter_element(const xml::Event& ev, size_t start, Actions&& actions, bool post) {
    const size_t begin = level_begin();
    const size_t child_begin = states_.size();
    for (size_t i = 0; i < actions.size(); ++i) {
      const ManyState s = states_[begin + i];
      if (actions[i] == ActionKind::KeepSearching) {
        states_.push_back(make_state(s.program, s.step));
      } else if (actions[i] == ActionKind::Descend) {
        states_.push_back(make_state(s.program, s.step + 1));
      }
    }
    std::vector<uint32_t> text_programs;
    collect_many_attr_text(ev, child_begin, text_programs);

    if (!any_element_state(child_begin)) {
      // Nothing to look for inside: take the text or skip, in one read.
      states_.resize(child_begin);
      if (!text_programs.empty()) {
        const std::string text = read_text_in_scope(*reader_);
        for (uint32_t p : text_programs) results_[p].emplace_back(Value{text});
      } else {
        (void)reader_->read_to_end(ev.name());
      }
      if (!post) return {};
      return handle_actions(actions, ev, start, reader_->buffer_position());
    }
    const bool has_post = post || !text_programs.empty();
    if (has_post) {
      PostWork work;
      work.start = start;
      work.tag = ev;
      work.actions = std::move(actions);
      work.text_programs = std::move(text_programs);
      post_.push_back(std::move(work));
    }
    return push_level(child_begin, true, has_post);
  }

  // The streaming filter test, when the one filtering state allows it.
  std::optional<Outcome> try_stream_filter(const xml::Event& ev, size_t start, size_t i) {
    ManyState& s = states_[i];
    const path::Program& p = *programs_[s.program];
    const path::Step& step = p.steps[s.step];
    if (!step.selector.filter) return std::nullopt;
    const path::Filter& filter = *step.selector.filter;
    if (filter.attr || filter.path.size() != 1 || !is_simple_step(filter.path.front(), false)) {
      return std::nullopt;
    }
    const std::span<const path::Step> rest(p.steps.data() + s.step + 1,
                                           p.steps.size() - s.step - 1);
    bool ok = false;
    if (rest.empty()) {
      ok = p.collect_mode != path::CollectMode::CollectAll;
    } else if (rest.size() == 1) {
      ok = rest.front().kind == path::StepKind::Attr || is_simple_step(rest.front(), true);
    }
    if (!ok) return std::nullopt;
    const FilterStart at{*reader_, doc_, ev, start};
    const MatchOutcome m =
        stream_filter_scope(at, filter.path.front(), filter, rest, terminal_kind(p.collect_mode),
                            capture_spans_, results_[s.program]);
    if (m.outcome.stops()) return m.outcome;
    if (m.matched && s.single) s.satisfied = true;
    return Outcome{};
  }

  // Captures and filters of the element doc_[start, end), whose start tag is `tag`.
  Outcome handle_actions(const Actions& actions, const xml::Event& tag, size_t start, size_t end) {
    const size_t begin = level_begin();
    const std::string_view element = range(start, end);
    const size_t clamped_start = static_cast<size_t>(element.data() - doc_.data());
    for (size_t i = 0; i < actions.size(); ++i) {
      ManyState& s = states_[begin + i];
      const path::Program& p = *programs_[s.program];
      Items& out = results_[s.program];
      if (actions[i] == ActionKind::Capture) {
        switch (p.collect_mode) {
          case path::CollectMode::CountOnly:
            out.emplace_back(Value{});
            break;
          case path::CollectMode::CollectAll:
            out.emplace_back(Value{extract_element_text(element)});
            break;
          case path::CollectMode::Normal:
            capture_element(doc_, clamped_start, clamped_start + element.size(), capture_spans_,
                            out);
            break;
        }
        if (s.single) s.satisfied = true;
      } else if (actions[i] == ActionKind::CheckFilter) {
        const path::Step& step = p.steps[s.step];
        if (!step.selector.filter) continue;
        const path::Filter& filter = *step.selector.filter;
        bool holds = false;
        if (filter.attr) {
          const auto v = read_attr_view(tag.content, tag.name_len, *filter.attr, scratch_);
          holds = v && xml::is_valid_utf8(*v) && compare(*v, filter.op, filter.value);
        } else {
          const FilterOutcome f = eval_filter(element, filter);
          if (f.outcome.stops()) return f.outcome;
          holds = f.holds;
        }
        if (!holds) continue;
        if (Outcome o = collect_after_filter(p, s.step, element, out); o.stops()) return o;
        if (s.single) s.satisfied = true;
      }
    }
    return {};
  }

  // The steps after a passed filter, inside the element. A program that
  // collects texts (or only counts) records the children the next step
  // selects that way, as the streaming test does.
  static Outcome collect_after_filter(const path::Program& p, uint32_t step,
                                      std::string_view element, Items& out) {
    const std::span<const path::Step> rest(p.steps.data() + step + 1, p.steps.size() - step - 1);
    const size_t before = out.size();
    const Outcome o = apply_within_fragment_raw(element, rest, out);
    if (o.stops()) return o;
    if (p.collect_mode == path::CollectMode::Normal || rest.size() != 1 ||
        rest.front().kind != path::StepKind::Element || rest.front().descendant) {
      return {};
    }
    for (size_t i = before; i < out.size(); ++i) {
      if (std::holds_alternative<Value>(out[i])) continue;
      if (p.collect_mode == path::CollectMode::CountOnly) {
        out[i] = Value{};
      } else {
        out[i] = Value{item_text(out[i], element)};
      }
    }
    return {};
  }

  Outcome on_empty(const xml::Event& ev) {
    const std::string_view qname = ev.name();
    std::optional<std::string> markup;  // the re-serialised tag, made once
    for (size_t i = level_begin(); i < states_.size(); ++i) {
      ManyState& s = states_[i];
      const path::Program& p = *programs_[s.program];
      if (s.satisfied || served(s.program) || !is_element_step(p, s.step)) continue;
      const path::Step& step = p.steps[s.step];
      if (!name_matches(step.name, qname)) continue;
      const uint64_t k = s.counter++;
      const path::Selector& sel = step.selector;
      const std::span<const path::Step> rest(p.steps.data() + s.step + 1,
                                             p.steps.size() - s.step - 1);
      Items& out = results_[s.program];
      switch (sel.kind) {
        case path::SelectorKind::Count:
          continue;
        case path::SelectorKind::Index:
          if (k != sel.index) continue;
          break;
        case path::SelectorKind::FilterFirst:
        case path::SelectorKind::FilterAll: {
          if (!sel.filter) continue;
          if (!markup) markup = serialize_empty(ev.content);
          bool holds = false;
          if (sel.filter->attr) {
            const auto v = read_attr_view(ev.content, ev.name_len, *sel.filter->attr, scratch_);
            holds = v && xml::is_valid_utf8(*v) && compare(*v, sel.filter->op, sel.filter->value);
          } else {
            const FilterOutcome f = eval_filter(*markup, *sel.filter);
            if (f.outcome.stops()) return f.outcome;
            holds = f.holds;
          }
          if (!holds) continue;
          if (Outcome o = apply_within_fragment_raw(*markup, rest, out); o.stops()) return o;
          if (s.single) s.satisfied = true;
          continue;
        }
        case path::SelectorKind::Bare:
        case path::SelectorKind::Each:
          break;
      }
      handle_empty_inner(ev, rest, out);
      if (s.single) s.satisfied = true;
    }
    return {};
  }

  const std::vector<const path::Program*>& programs_;
  std::string_view doc_;
  bool capture_spans_ = false;
  std::vector<Items>& results_;
  std::vector<bool> first_only_;
  bool all_first_only_ = false;

  xml::Reader* reader_ = nullptr;
  std::vector<ManyState> states_;  // every open level's states, outermost first
  std::vector<Level> levels_;
  std::vector<PostWork> post_;
  std::string scratch_;  // attribute unescaping
};

std::optional<EngineError> finish(const Outcome& o,
                                  const std::vector<const path::Program*>& programs,
                                  std::string_view doc, std::vector<Items>& results) {
  if (o.flow == Flow::Ambiguous) {
    for (Items& items : results) items.clear();
    return EngineError{o.step != nullptr ? o.step->name.text() : std::string()};
  }
  for (size_t p = 0; p < programs.size(); ++p) {
    if (programs[p] != nullptr) apply_modifiers(programs[p]->modifiers, results[p], doc);
  }
  return std::nullopt;
}

}  // namespace

std::optional<EngineError> run_many(const std::vector<const path::Program*>& programs,
                                    std::string_view doc, bool capture_spans,
                                    std::vector<Items>& results) {
  results.assign(programs.size(), Items{});
  ManyScan scan(programs, doc, capture_spans, results);
  bool any = false;
  for (size_t p = 0; p < programs.size(); ++p) any = any || scan.is_active(p);
  const Outcome o = any ? scan.run_document() : Outcome{};
  return finish(o, programs, doc, results);
}

std::optional<EngineError> run_many_within(const std::vector<const path::Program*>& programs,
                                           std::string_view element, std::vector<Items>& results) {
  results.assign(programs.size(), Items{});
  ManyScan scan(programs, element, false, results);
  bool any = false;
  for (size_t p = 0; p < programs.size(); ++p) any = any || scan.is_active(p);
  const Outcome o = any ? scan.run_element() : Outcome{};
  return finish(o, programs, element, results);
}

}  // namespace varnex::engine
