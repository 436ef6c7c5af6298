// Filter evaluation: comparisons, the child and general tests, and the streaming test.
#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "path/number.hpp"
#include "path/wildcard.hpp"
#include "xml/encoding.hpp"

namespace varnex::engine {

namespace {

using path::CompareOp;
using path::FilterValue;

std::optional<double> parse_trimmed(std::string_view text) {
  return path::parse_decimal(path::trim_unicode_ws(text));
}

bool ordered(double a, CompareOp op, double b) {
  switch (op) {
    case CompareOp::Lt: return a < b;
    case CompareOp::Le: return a <= b;
    case CompareOp::Gt: return a > b;
    case CompareOp::Ge: return a >= b;
    default: return false;
  }
}

bool equals(std::string_view subject, const FilterValue& value) {
  switch (value.kind) {
    case FilterValue::Kind::Number: {
      const auto n = parse_trimmed(subject);
      return n && *n == value.number;
    }
    case FilterValue::Kind::Str:
      return subject == std::string_view(value.str);
    case FilterValue::Kind::Bool:
      return subject == (value.boolean ? std::string_view("true") : std::string_view("false"));
  }
  return false;
}

bool like(std::string_view subject, const FilterValue& value) {
  const path::NameMatcher m = path::NameMatcher::parse(value.str);
  return m.matches(subject, subject);
}

// The subject of a filter: text that is not UTF-8 counts as empty.
std::string_view as_subject(std::string_view text) {
  return xml::is_valid_utf8(text) ? text : std::string_view{};
}

bool is_simple_child_step(const path::Step& s) {
  return s.kind == path::StepKind::Element && s.selector.kind == path::SelectorKind::Bare &&
         !s.descendant;
}

}  // namespace

bool compare(std::string_view subject, CompareOp op, const FilterValue& value) {
  switch (op) {
    case CompareOp::Eq:
      return equals(subject, value);
    case CompareOp::Ne:
      return !equals(subject, value);
    case CompareOp::Lt:
    case CompareOp::Le:
    case CompareOp::Gt:
    case CompareOp::Ge: {
      double rhs = value.number;
      if (value.kind == FilterValue::Kind::Bool) return false;
      if (value.kind == FilterValue::Kind::Str) {
        const auto n = parse_trimmed(value.str);
        if (!n) return false;
        rhs = *n;
      }
      const auto lhs = parse_trimmed(subject);
      return lhs && ordered(*lhs, op, rhs);
    }
    case CompareOp::Like:
      return value.kind == FilterValue::Kind::Str && like(subject, value);
    case CompareOp::NotLike:
      return value.kind == FilterValue::Kind::Str && !like(subject, value);
  }
  return false;
}

bool eval_child_filter_fast(std::string_view element, const path::Step& step, CompareOp op,
                            const FilterValue& value) {
  xml::Reader reader(element, xml::Config::query());
  bool inside = false;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        if (!inside) {
          inside = true;
        } else if (name_matches(step.name, ev.name())) {
          const std::string text = read_text_in_scope(reader);
          return compare(as_subject(text), op, value);
        } else {
          (void)reader.read_to_end(ev.name());
        }
        break;
      case xml::EventKind::Empty:
        if (!inside) return false;
        if (name_matches(step.name, ev.name())) return compare({}, op, value);
        break;
      case xml::EventKind::End:
      case xml::EventKind::Eof:
        return false;
      default:
        break;
    }
  }
}

FilterOutcome eval_filter(std::string_view element, const path::Filter& filter) {
  if (filter.path.size() == 1 && is_simple_child_step(filter.path.front())) {
    return {{}, eval_child_filter_fast(element, filter.path.front(), filter.op, filter.value)};
  }
  Items found;
  const Outcome o = apply_within_fragment_raw(element, filter.path, found);
  if (o.stops()) return {o, false};
  if (found.empty()) return {{}, false};
  const std::string text = item_text(found.front(), element);
  return {{}, compare(as_subject(text), filter.op, filter.value)};
}

Outcome apply_within_fragment_raw(std::string_view fragment, std::span<const path::Step> steps,
                                  Items& items) {
  if (steps.empty()) {
    items.emplace_back(Markup{std::string(fragment)});
    return {};
  }
  xml::Reader reader(fragment, xml::Config::query());
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Eof:
        return {};
      case xml::EventKind::Empty:
        handle_empty_inner(ev, steps, items);
        return {};
      case xml::EventKind::Start: {
        EvalFlags flags;
        flags.top_level = true;
        const Outcome o = enter(reader, fragment, &ev, steps, items, flags);
        return o.flow == Flow::Ambiguous ? o : Outcome{};
      }
      default:
        break;
    }
  }
}

std::optional<EngineError> apply_within_fragment(std::string_view fragment,
                                                 std::span<const path::Step> steps,
                                                 Items& items) {
  const Outcome o = apply_within_fragment_raw(fragment, steps, items);
  if (o.flow == Flow::Ambiguous) return EngineError{o.step->name.text()};
  return std::nullopt;
}

bool is_streamable(const path::Filter& filter, std::span<const path::Step> rest) {
  if (filter.path.size() != 1 || !is_simple_child_step(filter.path.front())) return false;
  if (rest.empty()) return true;
  if (rest.size() != 1) return false;
  const path::Step& s = rest.front();
  if (s.kind == path::StepKind::Attr) return true;
  if (s.kind != path::StepKind::Element || s.descendant) return false;
  const auto k = s.selector.kind;
  return k == path::SelectorKind::Bare || k == path::SelectorKind::Index ||
         k == path::SelectorKind::Each;
}

namespace {

// Records one selected child by terminal kind.
void record(TerminalKind kind, std::string_view doc, size_t start, size_t end,
            bool capture_spans, std::string_view text, Items& out) {
  switch (kind) {
    case TerminalKind::Capture:
      capture_element(doc, start, end, capture_spans, out);
      break;
    case TerminalKind::Text:
      out.emplace_back(Value{std::string(text)});
      break;
    case TerminalKind::Marker:
      out.emplace_back(Value{});
      break;
  }
}

}  // namespace

MatchOutcome stream_filter_scope(const FilterStart& at, const path::Step& filter_step,
                                 const path::Filter& filter, std::span<const path::Step> rest,
                                 TerminalKind kind, bool capture_spans, Items& items) {
  xml::Reader& reader = at.reader;
  const path::Step* collect =
      (rest.size() == 1 && rest.front().kind == path::StepKind::Element) ? &rest.front() : nullptr;
  bool found = false;
  std::string filter_text;
  Items pending;
  uint64_t count = 0;

  bool reading = true;
  while (reading) {
    const size_t pos = reader.buffer_position();
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start: {
        const std::string_view name = ev.name();
        const bool is_filter = !found && name_matches(filter_step.name, name);
        bool selected = false;
        if (collect != nullptr && name_matches(collect->name, name)) {
          selected = selects(collect->selector, count);
          ++count;
        }
        if (is_filter) {
          read_text_in_scope_into(reader, filter_text);
          found = true;
          if (selected) {
            record(kind, at.doc, pos, reader.buffer_position(), capture_spans, filter_text,
                   pending);
          }
        } else if (selected) {
          if (kind == TerminalKind::Text) {
            const std::string text = read_text_in_scope(reader);
            pending.emplace_back(Value{text});
          } else {
            (void)reader.read_to_end(name);
            record(kind, at.doc, pos, reader.buffer_position(), capture_spans, {}, pending);
          }
        } else {
          (void)reader.read_to_end(name);
        }
        break;
      }
      case xml::EventKind::Empty: {
        const std::string_view name = ev.name();
        if (!found && name_matches(filter_step.name, name)) {
          filter_text.clear();
          found = true;
        }
        if (collect != nullptr && name_matches(collect->name, name)) {
          if (selects(collect->selector, count)) {
            record(kind, at.doc, pos, reader.buffer_position(), capture_spans, {}, pending);
          }
          ++count;
        }
        break;
      }
      case xml::EventKind::End:
      case xml::EventKind::Eof:
      case xml::EventKind::Error:
        reading = false;
        break;
      default:
        break;
    }
  }

  if (!found || !compare(as_subject(filter_text), filter.op, filter.value)) return {{}, false};
  if (rest.empty()) {
    record(kind == TerminalKind::Text ? TerminalKind::Capture : kind, at.doc, at.start,
           reader.buffer_position(), capture_spans, {}, items);
  } else if (rest.front().kind == path::StepKind::Attr) {
    if (auto v = read_attr(at.tag, rest.front().attr)) items.emplace_back(Value{std::move(*v)});
  } else {
    for (Item& item : pending) items.push_back(std::move(item));
  }
  return {{}, true};
}

MatchOutcome general_filter(const FilterStart& at, const path::Filter& filter,
                            std::span<const path::Step> rest, Items& items) {
  (void)at.reader.read_to_end(at.tag.name());
  const size_t end = std::min(at.reader.buffer_position(), at.doc.size());
  const size_t start = std::min(at.start, end);
  const std::string_view element = at.doc.substr(start, end - start);
  const FilterOutcome f = eval_filter(element, filter);
  if (f.outcome.stops()) return {f.outcome, false};
  if (!f.holds) return {{}, false};
  const Outcome o = apply_within_fragment_raw(element, rest, items);
  if (o.stops()) return {o, false};
  return {{}, true};
}

}  // namespace varnex::engine
