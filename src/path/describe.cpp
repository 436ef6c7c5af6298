// Compact renderings of compiled programs.
#include "path/describe.hpp"

#include <array>
#include <charconv>

namespace varnex::path {

namespace {

bool is_plain(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string quoted_if_needed(std::string_view s) {
  std::string out;
  if (is_plain(s)) return out.append(s);
  out.reserve(s.size() + 2);
  out.push_back('\'');
  out.append(s);
  out.push_back('\'');
  return out;
}

constexpr std::array<std::string_view, 8> kOpText = {"==", "!=", "<", "<=", ">", ">=", "%", "!%"};
constexpr std::array<std::string_view, 13> kModifierText = {
    "reverse", "first", "last", "count", "sort", "sortn", "unique",
    "flatten", "tostr", "sum",  "avg",   "min",  "max"};

// "{uri}", "{}" or nothing, before a name.
std::string describe_ns(const Namespace& ns) {
  switch (ns.kind) {
    case Namespace::Kind::Any: return {};
    case Namespace::Kind::None: return "{}";
    case Namespace::Kind::Uri: return "{" + ns.uri + "}";
  }
  return {};
}

std::string describe_step(const Step& step) {
  switch (step.kind) {
    case StepKind::Attr:
      return std::string("@").append(describe_ns(step.attr_ns)).append(quoted_if_needed(step.attr));
    case StepKind::Text: return "#text";
    case StepKind::Element: break;
  }
  std::string out = step.descendant ? "**" : "";
  out += describe_ns(step.name.ns());
  if (step.name.kind() == NameMatcher::Kind::Glob) out += "~";
  out += quoted_if_needed(step.name.text());
  const Selector& sel = step.selector;
  switch (sel.kind) {
    case SelectorKind::Bare: break;
    case SelectorKind::Index: out.append("[").append(std::to_string(sel.index)).append("]"); break;
    case SelectorKind::Count: out += "[count]"; break;
    case SelectorKind::Each:
      if (!step.descendant) out += "[each]";
      break;
    case SelectorKind::FilterFirst:
      out.append("[first ").append(describe_filter(*sel.filter)).append("]");
      break;
    case SelectorKind::FilterAll:
      out.append("[all ").append(describe_filter(*sel.filter)).append("]");
      break;
  }
  return out;
}

}  // namespace

std::string describe_value(const FilterValue& value) {
  switch (value.kind) {
    case FilterValue::Kind::Bool: return value.boolean ? "true" : "false";
    case FilterValue::Kind::Str: return std::string("'").append(value.str).append("'");
    case FilterValue::Kind::Number: {
      std::array<char, 32> buf{};
      const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value.number);
      return std::string("#").append(buf.data(), r.ptr);
    }
  }
  return "?";
}

namespace {

std::string describe_test(const FilterTest& test) {
  std::string out = describe_steps(test.path);
  if (test.exists) return out.append(" exists");
  out.append(" ").append(kOpText[static_cast<size_t>(test.op)]);
  out.append(" ").append(describe_value(test.value));
  if (test.attr) out.append(" attr=").append(quoted_if_needed(*test.attr));
  return out;
}

// `open` + inner + ")", built by appending (GCC 12 warns, wrongly, on "(" + std::string&&).
std::string wrapped(std::string_view open, const std::string& inner) {
  std::string out;
  out.reserve(open.size() + inner.size() + 1);
  return out.append(open).append(inner).append(")");
}

// The subtree at nodes[at]; operands that join others are parenthesised.
std::string describe_node(const Filter& filter, size_t at) {
  const FilterNode& node = filter.nodes[at];
  const auto operand = [&](size_t i) {
    const FilterNode::Kind k = filter.nodes[i].kind;
    const bool wrap = k == FilterNode::Kind::And || k == FilterNode::Kind::Or;
    return wrap ? wrapped("(", describe_node(filter, i)) : describe_node(filter, i);
  };
  switch (node.kind) {
    case FilterNode::Kind::Test: return describe_test(filter.tests[node.test]);
    case FilterNode::Kind::Not: return wrapped("!(", describe_node(filter, at + 1));
    case FilterNode::Kind::And:
    case FilterNode::Kind::Or: break;
  }
  const char* join = node.kind == FilterNode::Kind::And ? " && " : " || ";
  std::string out;
  for (size_t i = at + 1; i < at + node.size; i += filter.nodes[i].size) {
    if (i > at + 1) out += join;
    out += operand(i);
  }
  return out;
}

}  // namespace

std::string describe_filter(const Filter& filter) { return wrapped("(", describe_node(filter, 0)); }

std::string describe_steps(const std::vector<Step>& steps) {
  std::string out;
  for (const Step& s : steps) {
    if (!out.empty()) out += " / ";
    out += describe_step(s);
  }
  return out;
}

std::string describe(const Program& program) {
  std::string out = describe_steps(program.steps);
  if (!program.modifiers.empty()) {
    out += " |";
    for (const Modifier m : program.modifiers) {
      out += " ";
      out += kModifierText[static_cast<size_t>(m)];
    }
  }
  if (program.collect_mode == CollectMode::CollectAll) out += " ; collect-all";
  if (program.collect_mode == CollectMode::CountOnly) out += " ; count-only";
  return out;
}

}  // namespace varnex::path
