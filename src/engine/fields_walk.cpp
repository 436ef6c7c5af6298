// A record's fields in one walk over its children (see fields_walk.hpp). Every rule is the
// scan's own: the reader's events and skips, the name test, the attribute lookup, the span or
// copy of an element; what is left out is the scan's bookkeeping for what these paths never do.
#include "engine/fields_walk.hpp"

#include <array>
#include <bit>

#include "xml/tags.hpp"

namespace varnex::engine {

namespace {

constexpr size_t kMaxPaths = 64;  // a bit each in a mask
constexpr size_t kMaxSteps = 16;
constexpr size_t kMaxOpen = 64;  // elements open at once in walk_tags; deeper, the reader walks

// A step the walk takes as the scan would: a child by its name alone, every match followed
// (before the last step, where a plain name would guard against a second match), or, last, an
// attribute.
bool walkable(const path::Step& step, bool last) noexcept {
  switch (step.kind) {
    case path::StepKind::Element:
      if (step.descendant || step.name.tests_namespace()) return false;
      return step.selector.kind == path::SelectorKind::Each ||
             (last && step.selector.kind == path::SelectorKind::Bare);
    case path::StepKind::Attr: return last && step.attr_ns.any();
    case path::StepKind::Text: return false;
  }
  return false;
}

uint64_t bit(size_t path) noexcept { return uint64_t{1} << path; }

// Where the end tag whose name `name` is (a view into `input`) starts: its '<'.
size_t end_tag(std::string_view input, std::string_view name) noexcept {
  return static_cast<size_t>(name.data() - input.data()) - 2;
}

}  // namespace

std::unique_ptr<FieldsWalk> FieldsWalk::plan(std::span<const PathTask> paths) {
  if (paths.size() > kMaxPaths) return nullptr;
  std::unique_ptr<FieldsWalk> walk(new FieldsWalk());
  walk->paths_ = paths;
  for (size_t i = 0; i < paths.size(); ++i) {
    const PathTask& task = paths[i];
    const path::Program* p = task.program;
    if (p == nullptr || p->steps.empty()) continue;
    if (p->scoped || task.options.element_text || task.options.every ||
        p->steps.size() > kMaxSteps) {
      return nullptr;
    }
    const size_t n = p->steps.size();
    if (walk->levels_.size() < n) walk->levels_.resize(n);
    for (size_t d = 0; d < n; ++d) {
      const path::Step& step = p->steps[d];
      if (!walkable(step, d + 1 == n)) return nullptr;
      const Want want{&step, static_cast<uint32_t>(i)};
      Level& level = walk->levels_[d];
      if (step.kind == path::StepKind::Attr) {
        level.attributes.push_back(want);
        continue;
      }
      for (uint64_t b = step.name.tail_bit(); b != 0; b &= b - 1) {
        level.by_tail[static_cast<size_t>(std::countr_zero(b))] |= bit(level.elements.size());
      }
      level.elements.push_back(want);
      level.element_paths |= bit(i);
      if (d + 1 == n) level.last_paths |= bit(i);
    }
  }
  return walk;
}

bool FieldsWalk::run(std::string_view element, bool spans, std::span<Items> results) {
  for (Items& items : results) items.clear();
  doc_ = element;
  base_ = 0;
  results_ = results;
  spans_ = spans;
  own_.emplace(element, xml::Config::query());
  reader_ = &*own_;
  // The element: the first tag, whatever comes before it.
  xml::Event tag;
  for (;;) {
    tag = reader_->read_event();
    if (tag.kind == xml::EventKind::Start || tag.kind == xml::EventKind::Empty) break;
    if (tag.kind == xml::EventKind::Error) return false;
    if (tag.kind == xml::EventKind::Eof) break;
  }
  return answer(tag);
}

bool FieldsWalk::pass_inside(xml::Reader& reader, const xml::Event& tag, size_t start, bool spans,
                             std::span<Items> results) {
  for (Items& items : results) items.clear();
  const std::string_view name = tag.name();
  results_ = results;
  spans_ = spans;
  reader_ = &reader;
  base_ = start;
  const xml::Reader::Mark inside = reader.mark();
  if (levels_.empty() || levels_[0].elements.empty()) {
    reader.pass_child(name);
    const size_t end = reader.buffer_position();
    if (reader.at_end() || end <= start || !walk(tag)) return false;  // its start tag alone
    finish(reader.input().substr(start, end - start));
    return true;
  }
  doc_ = reader.input().substr(start);  // a walk that runs on past the end reads in bounds
  if (tag.kind == xml::EventKind::Start) {
    xml::Reader::Mark past;
    if (walk_tags(tag, inside, &past) && reader.rewind(past)) {
      finish(reader.input().substr(start, past.pos - start));
      return true;
    }
    for (Items& items : results) items.clear();
  }
  // Its children are read as a reader of its bytes alone would read them (counting from one
  // open element), within the chunk of the index it began in.
  xml::Reader::Mark alone = inside;
  alone.depth = 1;
  if (!reader.rewind(alone)) {
    reader.pass_child(name);
    return false;
  }
  const size_t errors = reader.errors();
  closed_ = {};
  if (walk_in_chunk(tag) && reader.errors() == errors && closed_.data() != nullptr &&
      closed_ == name && !reader.passed_name(inside, end_tag(reader.input(), closed_), name)) {
    // It ended at an end tag of the element's name with no error and no other tag of that name
    // on the way: where passing the element ends (it counts tags of its name alone and stops at
    // an error), so it is not passed again.
    xml::Reader::Mark past = reader.mark();
    past.depth += inside.depth - 1;  // counted from one open element
    (void)reader.rewind(past);
    finish(reader.input().substr(start, reader.buffer_position() - start));
    return true;
  }
  // Passed as the scan passes it; the walk's answer holds when it ends there too.
  for (Items& items : results) items.clear();
  (void)reader.rewind(inside);
  reader.pass_child(name);
  const size_t end = reader.buffer_position();
  if (reader.at_end() || end <= start) return false;  // it broke off
  const xml::Reader::Mark past = reader.mark();
  if (!reader.rewind(alone)) return false;
  const bool again = walk_in_chunk(tag) && reader.buffer_position() == end;
  (void)reader.rewind(past);  // the same chunk: held
  if (!again) return false;
  finish(reader.input().substr(start, end - start));
  return true;
}

bool FieldsWalk::walk_in_chunk(const xml::Event& tag) {
  reader_->hold_chunk(true);
  const bool walked = walk(tag) && !reader_->held();
  reader_->hold_chunk(false);
  return walked;
}

bool FieldsWalk::walk(const xml::Event& tag) {
  if (tag.kind == xml::EventKind::Eof || levels_.empty()) return true;
  const uint64_t every = ~uint64_t{0};
  take_attributes(0, every, tag);
  return tag.kind != xml::EventKind::Start || levels_[0].elements.empty() || children(0, every);
}

bool FieldsWalk::answer(const xml::Event& tag) {
  if (tag.kind == xml::EventKind::Start && !levels_.empty() && !levels_[0].elements.empty()) {
    xml::Reader::Mark past;
    if (walk_tags(tag, reader_->mark(), &past)) {
      finish(doc_);
      return true;
    }
    for (Items& items : results_) items.clear();
  }
  if (!walk(tag)) return false;
  finish(doc_);
  return true;
}

void FieldsWalk::finish(std::string_view element) {
  doc_ = element;
  for (size_t i = 0; i < paths_.size(); ++i) {
    const PathTask& task = paths_[i];
    if (task.program == nullptr) continue;
    if (task.program->steps.empty()) {
      finish_items(task, nullptr, results_[i], doc_);
      continue;
    }
    if (task.mode == Sink::Mode::Keep && task.program->modifiers.empty()) continue;  // as found
    // A sink in the task's mode keeps less (a count, the last item); the modifiers then pick
    // the same from every item.
    const SinkOutcome outcome{task.mode, results_[i].size(), false};
    finish_items(task, &outcome, results_[i], doc_);
  }
}

void FieldsWalk::take_attributes(size_t depth, uint64_t matched, const xml::Event& tag) {
  if (depth >= levels_.size() || levels_[depth].attributes.empty()) return;
  bool read = false;
  for (const Want& want : levels_[depth].attributes) {
    if ((matched & bit(want.path)) == 0) continue;
    if (!read) {
      attrs_.reset(tag.content, tag.name_len);
      read = true;
    }
    if (const auto value = attrs_.find(want.step->attr)) results_[want.path].push_value(*value);
  }
}

uint64_t FieldsWalk::live_wants(const Level& level, uint64_t matched) noexcept {
  uint64_t live = 0;
  for (size_t j = 0; j < level.elements.size(); ++j) {
    if ((matched & bit(level.elements[j].path)) != 0) live |= bit(j);
  }
  return live;
}

[[gnu::always_inline]] inline uint64_t FieldsWalk::hits(const Level& level, uint64_t live,
                                                        std::string_view qname) const noexcept {
  uint64_t may = live;
  if (!qname.empty()) may &= level.by_tail[path::name_tail(qname)];
  uint64_t hit = 0;
  if (may == 0) return hit;
  // Names are views into the input: a short one compares as one word.
  const size_t room = static_cast<size_t>(doc_.data() + doc_.size() - qname.data()) - qname.size();
  for (; may != 0; may &= may - 1) {
    const Want& want = level.elements[static_cast<size_t>(std::countr_zero(may))];
    if (is_named(qname, want.step->name, room)) hit |= bit(want.path);
  }
  return hit;
}

bool FieldsWalk::children(size_t depth, uint64_t matched) {
  const Level& level = levels_[depth];
  const uint64_t live = live_wants(level, matched);  // the wants of the paths matched so far
  for (;;) {
    uint64_t hit = 0;  // the paths that want the child read now
    const xml::Event ev = reader_->read_child([&](const xml::Event& tag) noexcept {
      hit = hits(level, live, tag.name());
      return hit != 0 ? xml::Wanted::Yes : xml::Wanted::No;
    });
    switch (ev.kind) {
      case xml::EventKind::Start:
      case xml::EventKind::Empty: break;
      case xml::EventKind::End:
        if (depth == 0) closed_ = ev.content;
        return true;
      case xml::EventKind::Eof: return true;
      default: return false;  // an error: the scan knows what it leaves
    }
    const size_t start = static_cast<size_t>(ev.content.data() - doc_.data()) - 1;
    const Child child = met(depth, hit, ev);
    if (ev.kind == xml::EventKind::Empty) continue;
    if (child.inside) {
      if (!children(depth + 1, child.onward)) return false;
    } else {
      reader_->pass_child(ev.name());
    }
    capture(child.captured, start, reader_->buffer_position() - base_);
  }
}

FieldsWalk::Child FieldsWalk::met(size_t depth, uint64_t hit, const xml::Event& tag) {
  const Level& level = levels_[depth];
  Child child;
  child.captured = hit & level.last_paths;
  child.onward = hit & ~level.last_paths;  // on to its attributes or children
  if (child.onward != 0) take_attributes(depth + 1, child.onward, tag);
  if (tag.kind == xml::EventKind::Empty) {
    if (child.captured != 0) {
      const std::string markup = serialize_empty(tag.content);  // as the scan keeps it
      for (uint64_t c = child.captured; c != 0; c &= c - 1) {
        results_[static_cast<size_t>(std::countr_zero(c))].push_markup(markup);
      }
    }
    return child;
  }
  child.inside =
      depth + 1 < levels_.size() && (child.onward & levels_[depth + 1].element_paths) != 0;
  return child;
}

void FieldsWalk::capture(uint64_t captured, size_t start, size_t end) {
  for (uint64_t c = captured; c != 0; c &= c - 1) {
    results_[static_cast<size_t>(std::countr_zero(c))].push_element(doc_, start, end, spans_);
  }
}

bool FieldsWalk::walk_tags(const xml::Event& tag, const xml::Reader::Mark& inside,
                           xml::Reader::Mark* past) {
  // Every open element's '<', and for those whose children are walked their level and wants
  // (level kPassed: passed, nothing in it wanted).
  constexpr uint32_t kPassed = UINT32_MAX;
  struct Open {
    size_t lt;
    uint32_t name_len;
    uint32_t level;
    uint64_t live;      // its level's wants still live
    uint64_t captured;  // the paths whose item it is
  };
  std::array<Open, kMaxOpen> open;
  xml::TagCursor tags(reader_->input(), inside);
  take_attributes(0, ~uint64_t{0}, tag);
  // The element's own '<' (in run(), after whatever comes before it in its bytes).
  const size_t own = static_cast<size_t>(tag.content.data() - reader_->input().data()) - 1;
  open[0] =
      Open{own, static_cast<uint32_t>(tag.name_len), 0, live_wants(levels_[0], ~uint64_t{0}), 0};
  size_t n = 1;
  xml::Tag t;
  while (tags.next(t)) {
    if (t.kind == xml::TagKind::End) {
      // Every end tag must close the element open: then passing any element ends where this
      // walk does, however the reader counts.
      const Open& top = open[n - 1];
      if (!tags.closes(t, top.lt, top.name_len)) return false;
      if (top.captured != 0) capture(top.captured, top.lt - base_, t.gt + 1 - base_);
      if (--n == 0) {
        *past = tags.mark(inside, t.gt + 1, inside.depth - 1);
        return true;
      }
      continue;
    }
    const Open& parent = open[n - 1];
    if (parent.level == kPassed && t.kind == xml::TagKind::Empty) continue;
    const size_t name_len = tags.name_length(t);
    if (name_len > UINT32_MAX) return false;
    Open child{t.lt, static_cast<uint32_t>(name_len), kPassed, 0, 0};
    if (parent.level != kPassed) {
      const xml::Event ev = tags.event(t, name_len);
      const uint64_t hit = hits(levels_[parent.level], parent.live, ev.name());
      if (hit != 0) {
        const Child met_child = met(parent.level, hit, ev);
        child.captured = met_child.captured;
        if (met_child.inside) {
          child.level = parent.level + 1;
          child.live = live_wants(levels_[child.level], met_child.onward);
        }
      }
    }
    if (t.kind == xml::TagKind::Empty) continue;
    if (size_t gt = 0; tags.take_leaf_end(t, name_len, &gt)) {
      if (child.captured != 0) capture(child.captured, t.lt - base_, gt + 1 - base_);
      continue;
    }
    if (n == kMaxOpen) return false;
    open[n++] = child;
  }
  return false;  // a DOCTYPE, or the chunk's end: the reader reads it
}

}  // namespace varnex::engine
