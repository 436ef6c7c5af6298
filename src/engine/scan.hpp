// The one evaluation core: any number of paths answered in one forward pass of one reader.
//
// Each path is a task. A task keeps one state per open element it is looking inside (the
// document level included); at every start tag the scan asks each state once what the element
// means to it, then reads the element once for all of them: skipped with the reader's block
// skip when nobody needs it, read for its text when only that is wanted, entered otherwise.
// A filter that needs the element's content is decided when the element ends: its own path
// and the rest of the filtered path run inside the element meanwhile, as tasks of their own
// whose items wait for the decision. Open levels live on vectors, never the call stack.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/internal.hpp"
#include "engine/item.hpp"
#include "engine/namespaces.hpp"
#include "engine/sink.hpp"
#include "path/program.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

// How one path is answered, beyond its steps.
struct TaskOptions {
  bool first_only = false;    // done as soon as one item is found (a first modifier @first)
  bool element_text = false;  // elements are taken as their text, not as elements
  bool guard_empty = true;    // empty-element tags count for the ambiguity guard too
  // Every match counts (a filter's paths): no step must be unique, and a descendant search
  // goes on inside its matches.
  bool every = false;
};

class Scan {
 public:
  // `doc` outlives the scan; captured elements are spans over it when `spans` is set.
  Scan(std::string_view doc, bool spans) noexcept;

  // Starts over on `doc` with no paths, as a new scan would, keeping the memory it has grown.
  void reset(std::string_view doc) noexcept;

  // Adds a path whose items are kept in `items` (which outlives the scan), or only counted;
  // returns its index. `observer` (which outlives the scan) hears of each item kept.
  uint32_t add(std::span<const path::Step> steps, TaskOptions options, Sink::Mode mode,
               Items* items, ItemObserver* observer = nullptr, uint32_t program = 0);

  // Evaluates the paths from the document level, or relative to the first element of the
  // document (its attributes, its text, its children). Returns the ambiguity error, if any.
  [[nodiscard]] std::optional<EngineError> run_document();
  [[nodiscard]] std::optional<EngineError> run_within();
  // run_document, reading on at `resume` once the root's start tag is read: the root's
  // children before it are another pass's. The pass gives up when `*cancel` falls below
  // `index` (an earlier range has the answer).
  [[nodiscard]] std::optional<EngineError> run_range(size_t resume,
                                                     const std::atomic<size_t>* cancel,
                                                     size_t index);
  // The input ended (or the pass gave up) with nothing open but the root, between markups:
  // where it ends, one of the root's children may start.
  [[nodiscard]] bool ended_between_children() const noexcept;
  // The pass ended before the input's end without giving up: every path had its answer (or
  // an error ended it), and the rest of the input changes nothing.
  [[nodiscard]] bool ended_early() const noexcept {
    return eof_levels_ == 0 && !cancelled_ && !reader_.at_end();
  }

  // Names are to be read in their namespaces: the scan follows the declarations in scope,
  // starting from `outer` (those around the input, when it is a fragment). Only then.
  void track_namespaces(std::span<const Binding> outer = {});

  [[nodiscard]] const Sink& sink(uint32_t task) const noexcept { return tasks_[task].sink; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  enum class Role : uint8_t {
    Path,     // a path asked by the caller
    Subject,  // a filter's own path, inside one candidate element
    Rest,     // the rest of a filtered path, inside one candidate, waiting for the decision
  };

  struct Task {
    std::span<const path::Step> steps;
    TaskOptions options;
    Role role = Role::Path;
    bool done = false;
    // Subject: its test's verdict. A filter's subjects are tasks group, group + 1, ..., one per
    // test in order; each knows the filter and the rest of the path it decides (kNone when that
    // rest is an attribute), and the first keeps the filter's verdict.
    Verdict verdict = Verdict::Open;
    Verdict decided = Verdict::Open;
    uint32_t owner = kNone;    // Subject, Rest: the task whose filter made this one
    uint32_t states_from = 0;  // its states are all at states_[states_from..]
    uint32_t group = kNone;
    uint32_t rest = kNone;
    const path::Filter* filter = nullptr;
    Sink sink;
    std::optional<EngineError> held;  // Rest: an ambiguity, raised only if the filter holds
    uint32_t program = 0;             // Path: the caller's number for it, named by its error
  };

  // One task's progress inside one open element: the step it must match among the children.
  struct State {
    const path::Step* at = nullptr;  // the task's steps[step]
    uint32_t task = 0;
    uint32_t step = 0;
    uint64_t count = 0;      // children that matched the step so far
    bool seen = false;       // a child already matched under the ambiguity guard
    bool top_level = false;  // a settled Index or first-match filter ends the task, not the level
    bool idle = false;       // settled below top level, or its task is done: waits for the end
    bool last = false;       // the task's last step: a match is a capture
    bool every = false;      // its task's option
  };

  enum class LeafUse : uint8_t { None, Take, Test };

  // An open element (or the document level) and what waits for its end.
  struct Level {
    uint32_t states = 0;  // its states are states_[states, next level's states)
    uint32_t work = 0;    // work_ from here waits for this element's end
    uint32_t tasks = 0;   // tasks from here were made for this element
    size_t start = 0;     // offset of the element's '<'
    std::string_view name;
    bool text = false;    // gathers its text (the last of texts_)
    bool counts = false;  // some state counts its matches, to be given at the end
    // Reads left before its children go back to events: -1 not decided yet, 0 events (text is
    // gathered, a state searches descendants, or the reader passed no child for a while).
    int8_t walks = -1;
    // Set with walks: every state only counts the children it names (for a flat level: its one
    // state only counts what it names, at any depth), so a child is counted as the reader
    // meets it and never becomes an event.
    bool counts_only = false;
    // Set with walks: every state searches descendants, the same way at every depth below, so
    // the reader walks the whole element for the tags some state names, without a level for
    // each element on the way.
    bool flat = false;
    // Set with walks: every state is a filter of one attribute test, so a child whose start tag
    // fails every filter that names it is passed by the reader, never an event.
    bool tag_decides = false;
    // Set with walks: every state uses its matches in a way the reader's walk can for a leaf
    // (leaf_use), so a match that is a leaf is used there, never an event.
    bool uses_leaves = false;
    // Set with walks: the bit of each name its states look for (path::name_tail), so most
    // children nobody wants are told by one bit (all set for a pattern).
    uint64_t tails = ~0ull;
    size_t below = 0;  // flat: the elements open inside it that it stands for
  };
  static_assert(sizeof(Level) <= 64);

  enum class WorkKind : uint8_t { Capture, Text, Decide, DecideAttr, Settle };

  // Something to do when an element ends, in the order it was asked for. A power of two in
  // size: the work waiting is counted at every element, and that is then a shift.
  struct alignas(32) Work {
    WorkKind kind = WorkKind::Capture;
    bool held = false;       // Settle: settles whatever was found (an empty element passed);
                             // DecideAttr: the tag has the attribute
    uint32_t task = 0;       // Capture, Text, Settle: the task; Decide*: the filter's group
    uint32_t rest = 0;       // Decide: the filtered path's rest; DecideAttr: the value's length
    uint32_t state = kNone;  // Settle, Decide*: the selecting state to settle, if any
    uint64_t before = 0;     // Settle: the task's item count before the selection;
                             // DecideAttr: the value's offset in the document
  };
  static_assert(sizeof(Work) == 32);

  // The element whose tag is being matched.
  struct Element {
    const xml::Event* tag = nullptr;
    std::string_view qname;
    size_t start = 0;
    bool empty = false;
    bool text = false;    // some work wants its text
    bool counts = false;  // some state made inside counts its matches
    // Tasks taking it as an element (span or copy), noted here rather than as work: most such
    // elements are skipped whole, and their captures are taken right after.
    static constexpr uint32_t kInlineCaptures = 4;
    uint32_t captures = 0;
    uint32_t capturing[kInlineCaptures] = {};
  };

  // The document level and the states of each path's first step.
  void start_document();
  // The pass over the events, `Scoped` when names are read in their namespaces: the plain
  // pass is then compiled without a trace of them.
  void loop() {
    if (scoped_) [[unlikely]]
      return run_loop<true>();
    run_loop<false>();
  }
  template <bool Scoped>
  void run_loop();
  template <bool Scoped>
  [[nodiscard]] std::optional<EngineError> within();
  // The prolog and the root's start tag, as the loop would read them.
  template <bool Scoped>
  void prolog();
  // The first state at the level on top that needs the element named `qname` (kNone if
  // none), and whether it is `named` so or searches descendants.
  template <bool Scoped>
  [[nodiscard, gnu::always_inline]] uint32_t wanted(std::string_view qname,
                                                    bool& named) const noexcept {
    for (size_t i = levels_.back().states, end = states_.size(); i < end; ++i) {
      const State& s = states_[i];
      if (s.idle) continue;
      named = names<Scoped>(qname, s.at->name, room_after(qname));
      if (named || s.at->descendant) return static_cast<uint32_t>(i);
    }
    return kNone;
  }
  // The name test of a step: the name, then (rarely) its namespace.
  template <bool Scoped>
  [[nodiscard]] bool names(std::string_view qname, const path::NameMatcher& m,
                           size_t room) const noexcept {
    if constexpr (Scoped) {
      return is_named(qname, m, room) && (!m.tests_namespace() || in_namespace(m, qname));
    } else {
      return is_named(qname, m, room);
    }
  }
  // Whether the element `qname` (just read, and named as `m` names it) is in m's namespace.
  [[nodiscard]] bool in_namespace(const path::NameMatcher& m,
                                  std::string_view qname) const noexcept;
  // Scoped: the declarations in force inside the level on top (ns_'s first so many).
  [[nodiscard]] uint32_t in_force() const noexcept { return in_force_[levels_.size() - 1]; }
  // Scoped: the element just made the level on top declares what it declares.
  void enter_scope(std::string_view content, size_t name_len) {
    const size_t depth = levels_.size() - 1;
    if (in_force_.size() <= depth) in_force_.resize(depth + 1);
    in_force_[depth] = ns_.enter(in_force_[depth - 1], content, name_len);
  }
  // Bytes of the document after `name`, a view into it.
  [[nodiscard]] size_t room_after(std::string_view name) const noexcept {
    assert(name.data() >= doc_.data() && name.data() + name.size() <= doc_.data() + doc_.size());
    return static_cast<size_t>(doc_.data() + doc_.size() - (name.data() + name.size()));
  }
  // Whether the reader is to pass the children of the level on top that nobody wants.
  [[nodiscard, gnu::always_inline]] bool level_walks() noexcept {
    Level& top = levels_.back();
    if (top.walks < 0) [[unlikely]]
      decide_walks(top);
    return top.walks > 0;
  }
  // Sets the level's walks and what goes with them, once, from its states.
  [[gnu::always_inline]] void decide_walks(Level& top) noexcept {
    // Most levels are another match of an element one of the last two was made for (the next
    // record, a field inside it), one state at a child step where no text is gathered: decided
    // as that one was.
    const bool one = states_.size() == top.states + 1 && texts_.empty();
    if (one) {
      const path::Step* at = states_[top.states].at;
      const WalksOf* known = walks_of_[0].at == at   ? &walks_of_[0]
                             : walks_of_[1].at == at ? &walks_of_[1]
                                                     : nullptr;
      if (known != nullptr) [[likely]] {
        top.walks = kWalks;
        top.tails = known->tails;
        top.counts_only = known->counts_only;
        top.tag_decides = known->tag_decides;
        top.uses_leaves = leaf_use(states_[top.states]) != LeafUse::None;
        top.flat = false;
        return;
      }
    }
    bool walks = texts_.empty();
    uint64_t tails = 0;
    bool counts_only = true;
    bool by_task = false;  // counts_only holds by a state's task, not by its step alone
    bool searches = true;
    bool tag_decides = !scoped_;
    bool uses_leaves = true;
    for (size_t i = top.states, end = states_.size(); i < end; ++i) {
      const path::Step& at = *states_[i].at;
      tails |= at.name.tail_bit();
      walks = walks && !at.descendant;  // a search wants every child
      searches = searches && at.descendant;
      if (counts_only && at.selector.kind != path::SelectorKind::Count) {
        counts_only = counts_matches(states_[i]);
        by_task = by_task || counts_only;
      }
      tag_decides = tag_decides && decided_by_tag(at);
      uses_leaves = uses_leaves && leaf_use(states_[i]) != LeafUse::None;
    }
    top.tag_decides = tag_decides;
    top.walks = walks ? kWalks : 0;
    top.uses_leaves = walks && !counts_only && uses_leaves;
    top.tails = tails;
    // A search selects each match (no ambiguity guard, no index, nothing settled), so its state
    // inside any element is the same: nested levels of searches alone would all hold the same.
    top.flat = searches && !scoped_ && texts_.empty();
    top.counts_only = top.flat ? counts_alone(top) : counts_only;
    if (one && top.walks > 0 && !by_task) {
      walks_of_[1] = walks_of_[0];
      walks_of_[0] = WalksOf{states_[top.states].at, top.tails, top.counts_only, top.tag_decides};
    }
  }
  // A filter of one attribute test: the start tag alone decides it, and when it fails,
  // matching does nothing more.
  [[nodiscard]] static bool decided_by_tag(const path::Step& at) noexcept {
    const path::SelectorKind kind = at.selector.kind;
    return (kind == path::SelectorKind::FilterFirst || kind == path::SelectorKind::FilterAll) &&
           at.selector.filter != nullptr &&
           at.selector.filter->tag_tests == path::Filter::TagTests::One;
  }
  bool some_filter_holds(std::string_view qname, std::string_view content, uint32_t first,
                         bool named);
  // A run of records whose filters of one attribute test all fail, passed at once: the next
  // sibling is taken while its tag fails them as the first one's did.
  struct FailingRun {
    Scan* scan;
    std::string_view qname;
    uint32_t first;
    bool named;
  };
  static bool fails_filters(void* run, std::string_view content) noexcept {
    const auto* r = static_cast<const FailingRun*>(run);
    if (!r->scan->some_filter_holds(r->qname, content, r->first, r->named)) return true;
    r->scan->held_tag_ = content.data();  // read next: not asked again
    return false;
  }
  // A state at its path's last step, a child step without a filter, that only counts its
  // matches (`a.b|@count`): a match adds one to its task's count and nothing else, as a
  // count's (`a.b.#`) does to the state's own.
  [[nodiscard]] bool counts_matches(const State& s) const noexcept {
    const path::Step& at = *s.at;
    const Task& t = tasks_[s.task];
    return !scoped_ && s.last && !s.every && !at.descendant &&
           (at.selector.kind == path::SelectorKind::Bare ||
            at.selector.kind == path::SelectorKind::Each) &&
           !t.options.first_only && t.sink.mode() == Sink::Mode::Count &&
           t.sink.observer() == nullptr;
  }
  // What a state does with each match, where the reader's walk can do it for a leaf: at its
  // path's last step, a child step without a filter, nobody told of its items, it takes them
  // whole (no text, no first match), or tests their text (a filter's subject, `price` in
  // `book#(price>10)`).
  [[nodiscard]] LeafUse leaf_use(const State& s) const noexcept {
    const path::Step& at = *s.at;
    const Task& t = tasks_[s.task];
    if (scoped_ || !s.last || at.descendant || t.sink.observer() != nullptr ||
        (at.selector.kind != path::SelectorKind::Bare &&
         at.selector.kind != path::SelectorKind::Each)) {
      return LeafUse::None;
    }
    const Sink::Mode mode = t.sink.mode();
    if (mode == Sink::Mode::Test) return LeafUse::Test;
    // As capture() takes them: the last one kept whole even where elements are taken as text.
    return !s.every && !t.options.first_only &&
                   (mode == Sink::Mode::Last ||
                    (mode == Sink::Mode::Keep && !t.options.element_text))
               ? LeafUse::Take
               : LeafUse::None;
  }
  // The flat level's one state ends its path and only counts its matches (nothing waits for
  // one, nothing is looked for inside one): a match is counted and passed.
  [[nodiscard]] bool counts_alone(const Level& level) const noexcept {
    if (states_.size() != level.states + 1) return false;
    const State& s = states_[level.states];
    const Task& t = tasks_[s.task];
    return s.last && !s.every && !t.options.first_only && t.sink.mode() == Sink::Mode::Count &&
           t.sink.observer() == nullptr;
  }
  // The reader stands below the flat level on top, inside elements that have no level.
  [[nodiscard]] bool below_flat_level() const noexcept { return levels_.back().below > 0; }
  // Open levels, counting those a flat level stands for.
  [[nodiscard]] size_t open_levels() const noexcept {
    return levels_.size() + levels_.back().below;
  }
  // Reads in a row that pass no child before a level goes back to events.
  static constexpr int8_t kWalks = 8;
  template <bool Scoped>
  xml::Event next_child(uint32_t& first, bool& named, uint32_t& asked, bool& left) noexcept;
  // The next tag inside the flat level on top, at any depth, that some state names, or the
  // level's end.
  xml::Event next_named() noexcept;
  // What next_child does with a child its level's filters decide by the tag, or that its
  // level only counts.
  template <bool Scoped>
  xml::Wanted by_tag(std::string_view qname, uint32_t first, bool named);
  template <bool Scoped>
  xml::Wanted count_child(std::string_view qname, uint32_t first) noexcept;
  // What next_child does with a child at a level whose states use leaves: a leaf is taken or
  // tested by each state that names it (and passed); anything else is an event.
  xml::Wanted use_leaf(std::string_view qname, uint32_t first) noexcept;
  // `times` children named `qname`, which state `first` names, counted by each state that
  // names it.
  template <bool Scoped>
  void count_children(std::string_view qname, uint32_t first, uint64_t times) noexcept;
  template <bool Scoped>
  bool on_event(const xml::Event& ev, uint32_t first, bool named);
  template <bool Scoped>
  void on_tag(const xml::Event& ev, uint32_t first, bool named);
  // A start tag that only state `first`, the level's last, names: entered as on_element
  // would enter it when that is all it does (the usual record); false, doing nothing, else.
  [[nodiscard]] bool descend(uint32_t first, size_t start, std::string_view qname);
  void on_end();
  void on_error(const xml::Event& ev);
  template <bool Scoped>
  void on_element(const xml::Event& tag, size_t start, bool empty, uint32_t first, bool named);
  template <bool Scoped>
  void set_element(const xml::Event& tag, size_t start, bool empty) noexcept {
    el_.tag = &tag;
    el_.qname = tag.name();
    el_.start = start;
    el_.empty = empty;
    el_.text = false;
    el_.counts = false;
    el_.captures = 0;
    attrs_.reset(tag.content, tag.name_len);
    if constexpr (Scoped) attrs_.in_scope(&ns_, in_force());
  }
  // States the level on top may add: three for each of its own.
  [[nodiscard]] size_t room() const noexcept {
    return states_.size() + 3 * (states_.size() - levels_.back().states);
  }
  // The element just read (`tag`, read only where names are scoped) becomes the level on top,
  // with that room made.
  template <bool Scoped>
  [[gnu::always_inline]] void enter_level(const Level& level, const xml::Event* tag) {
    levels_.push_back(level);
    if constexpr (Scoped) enter_scope(tag->content, tag->name_len);
    if (states_.capacity() < room()) make_room();
  }
  void make_room();
  template <bool Scoped>
  void match(uint32_t state);
  template <bool Scoped>
  void match_nested(uint32_t state);
  // What the start tag alone says of a filter of several tests, or of one test: its attribute
  // tests, read now.
  template <bool Scoped>
  [[nodiscard]] Verdict tag_verdict(const path::Filter& filter) {
    auto test = [&](uint32_t j) { return tag_verdict<Scoped>(filter.tests[j]); };
    return evaluate(filter, test);
  }
  template <bool Scoped>
  [[nodiscard]] Verdict tag_verdict(const path::FilterTest& test) {
    if (!test.attr) return Verdict::Open;
    return attr_filter_holds<Scoped>(attrs_, test) ? Verdict::Holds : Verdict::Fails;
  }
  template <bool Scoped>
  void filter(uint32_t state, const path::Filter& filter, bool first);
  template <bool Scoped>
  void place(uint32_t child_states, uint32_t work, uint32_t tasks);
  template <bool Scoped>
  void select(uint32_t task, uint32_t step, bool top_level);
  template <bool Scoped>
  void capture(uint32_t task);
  void push_state(uint32_t task, uint32_t step, bool top_level);
  Task& next_task(std::span<const path::Step> steps, Role role, uint32_t owner);
  uint32_t new_task(Role role, std::span<const path::Step> steps, uint32_t owner,
                    const path::FilterTest* test = nullptr);

  void close_level(size_t end);
  void run_work(uint32_t from, size_t start, size_t end, std::string_view text);
  template <bool Scoped>
  void take_captures(size_t end);
  void decide(const Work& work);
  void settle_group(uint32_t group);
  [[nodiscard]] Verdict final_verdict(uint32_t group);
  void skip_rest();
  // Nobody needs the rest of the element the reader is in (just started, or left by every
  // state): one block skip, or a read for its text when an enclosing element gathers text.
  void pass(std::string_view name) {
    if (texts_.empty()) [[likely]] {
      reader_.pass_child(name);
    } else {
      pass_text();
    }
  }
  void pass_text();
  void gather(std::string_view text);
  [[nodiscard]] bool level_idle() const noexcept;

  void emit_value(uint32_t task, std::string_view bytes);
  void added(uint32_t task);
  void settle(uint32_t state);
  void finish(uint32_t task);
  void raise(uint32_t task, const std::string& name, size_t offset);

  std::string_view doc_;
  bool spans_;
  xml::Reader reader_;

  std::vector<Task> tasks_;  // the caller's paths first; tasks_[ntasks_..] are spare
  uint32_t ntasks_ = 0;
  uint32_t live_ = 0;  // the caller's paths not done yet
  std::vector<State> states_;
  std::vector<Level> levels_;
  // The last two levels of one state at a child step (no text gathered) whose walks were
  // decided, the latest first.
  struct WalksOf {
    const path::Step* at = nullptr;
    uint64_t tails = 0;
    bool counts_only = false;
    bool tag_decides = false;
  };
  WalksOf walks_of_[2];
  size_t floor_ = 0;  // the scan ends when levels_ shrinks to this
  std::vector<Work> work_;
  std::vector<std::string> texts_;  // text of each open element that gathers it, outermost first
  Element el_;
  bool idle_check_ = false;  // a state settled or a task ended: the level may have nothing left
  bool stop_ = false;        // an error, or every path is done
  bool searches_ = false;    // some state searched descendants: a level may want every child
  std::optional<EngineError> error_;
  size_t eof_levels_ = 0;  // open levels when the input's end was first met
  const std::atomic<size_t>* cancel_ = nullptr;
  size_t cancel_index_ = 0;
  bool cancelled_ = false;
  TagAttributes attrs_;  // the attributes of el_'s tag
  bool scoped_ = false;  // namespaces tracked
  NamespaceScope ns_;
  // Scoped: in_force() of each open level, by depth (a level entered sets its own); kept apart
  // from the levels so that a plain pass never writes it.
  std::vector<uint32_t> in_force_;
  std::string text_;                // one consumed element's text
  std::string value_;               // an attribute value given when its filter is decided
  std::string decode_;              // text decoding
  std::string unescape_;            // text unescaping
  const char* held_tag_ = nullptr;  // the tag that ended a FailingRun, its filter holding
  bool out_of_memory_ = false;      // a leaf used in a walk found no room: raised after it
};

}  // namespace varnex::engine
