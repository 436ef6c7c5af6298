// The path compiler: pipe split, tokenizer, step builder and modifiers.
#include "path/compiler.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "path/filter_expr.hpp"
#include "path/lexical.hpp"
#include "path/number.hpp"

namespace varnex::path {

namespace {

ParseError error(ParseErrorKind kind, std::string_view text = {}) {
  return ParseError{kind, std::string(text)};
}

struct ModifierKeyword {
  std::string_view word;
  Modifier modifier;
};

constexpr std::array<ModifierKeyword, 16> kModifierKeywords{{
    {"reverse", Modifier::Reverse},
    {"first", Modifier::First},
    {"last", Modifier::Last},
    {"count", Modifier::Count},
    {"sort", Modifier::Sort},
    {"sort_n", Modifier::SortN},
    {"sortn", Modifier::SortN},
    {"unique", Modifier::Unique},
    {"uniq", Modifier::Unique},
    {"flatten", Modifier::Flatten},
    {"tostr", Modifier::ToStr},
    {"sum", Modifier::Sum},
    {"avg", Modifier::Avg},
    {"mean", Modifier::Avg},
    {"min", Modifier::Min},
    {"max", Modifier::Max},
}};

struct PipePieces {
  std::string_view segment;
  std::vector<std::string_view> modifiers;  // stays unallocated for the common pipe-free path
};

// path = segment { "|" modifier }
// Cuts at '|' outside parentheses and quotes; a backslash makes the next byte inert, and quotes
// open anywhere (an unclosed one simply runs to the end).
ParseResult<PipePieces> split_pipes(std::string_view path) {
  PipePieces pieces;
  bool in_segment = true;
  size_t depth = 0;
  size_t start = 0;
  auto cut = [&](size_t end) {
    const std::string_view piece = path.substr(start, end - start);
    if (in_segment) {
      pieces.segment = piece;
      in_segment = false;
    } else {
      pieces.modifiers.push_back(piece);
    }
  };
  const size_t stray = detail::find_live(path, 0, [&](size_t i) {
    const char c = path[i];
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth == 0) return true;
      --depth;
    } else if (c == '|' && depth == 0) {
      cut(i);
      start = i + 1;
    }
    return false;
  });
  if (stray != std::string_view::npos || depth != 0) return error(ParseErrorKind::UnmatchedParen);
  cut(path.size());
  return pieces;
}

// modifier = [ws] "@" keyword [ws]
ParseResult<Modifier> parse_modifier(std::string_view text) {
  const std::string_view trimmed = trim_unicode_ws(text);
  if (trimmed.size() < 2 || trimmed[0] != '@') return error(ParseErrorKind::EmptyModifierName);
  const std::string_view name = trimmed.substr(1);
  for (const ModifierKeyword& k : kModifierKeywords) {
    if (k.word == name) return k.modifier;
  }
  return error(ParseErrorKind::UnknownModifier, name);
}

CollectMode collect_mode_of(const std::vector<Step>& steps, const std::vector<Modifier>& mods) {
  const Step& last = steps.back();
  if (last.kind != StepKind::Element || mods.empty()) return CollectMode::Normal;
  if (mods.size() == 1 && mods[0] == Modifier::Count) return CollectMode::CountOnly;
  for (const Modifier m : mods) {
    if (m == Modifier::Count) return CollectMode::Normal;
  }
  const SelectorKind sel = last.selector.kind;
  if (sel == SelectorKind::Index || sel == SelectorKind::Count) return CollectMode::Normal;
  return CollectMode::CollectAll;
}

// Offset of the ')' that closes the '(' just before `open_end`; npos when the text ends first.
size_t find_filter_close(std::string_view text, size_t open_end) {
  size_t depth = 1;
  return detail::find_live(text, open_end, [&](size_t i) {
    if (text[i] == '(') ++depth;
    return text[i] == ')' && --depth == 0;
  });
}

bool tests_namespaces(const std::vector<Step>& steps) noexcept {
  for (const Step& step : steps) {
    if (!step.name.ns().any() || !step.attr_ns.any()) return true;
    if (const Filter* f = step.selector.filter.get()) {
      for (const FilterTest& test : f->tests) {
        if (tests_namespaces(test.path)) return true;
      }
    }
  }
  return false;
}

}  // namespace

std::string ParseError::message() const {
  switch (kind) {
    case ParseErrorKind::EmptyPath: return "empty path";
    case ParseErrorKind::BadIndex: return "bad index: " + text;
    case ParseErrorKind::IndexWithoutName: return "index without preceding name";
    case ParseErrorKind::EachWithoutName: return "# without preceding name";
    case ParseErrorKind::AttrNotLast: return "@attr must be the last component";
    case ParseErrorKind::TextNotLast: return "#text must be the last component";
    case ParseErrorKind::EmptyAttrName: return "@ must be followed by an attribute name";
    case ParseErrorKind::UnmatchedParen: return "unmatched ( in filter";
    case ParseErrorKind::MissingOperator: return "filter expression missing operator: " + text;
    case ParseErrorKind::UnknownModifier: return "unknown modifier: @" + text;
    case ParseErrorKind::EmptyModifierName: return "modifier name is empty";
    case ParseErrorKind::DescendantWithoutName: return "** must be followed by an element name";
    case ParseErrorKind::DescendantWithSelector:
      return "** does not accept an explicit selector (no index/#/filter)";
    case ParseErrorKind::FilterTooDeep: return "filters nested too deeply";
    case ParseErrorKind::MissingOperand: return text + " needs a test on each side";
    case ParseErrorKind::NotWithoutTest: return "! must be followed by ( or a test";
    case ParseErrorKind::EmptyParens: return "empty ( ) in filter";
    case ParseErrorKind::MissingJoin: return "filter expression missing && or || before: " + text;
    case ParseErrorKind::UnclosedBrace: return "unclosed { in name";
    case ParseErrorKind::BraceInName: return "{ inside a name (a namespace goes first: {uri}name)";
    case ParseErrorKind::EmptyLocalName: return "name missing after its namespace";
    case ParseErrorKind::PrefixInClark: return "a name after {uri} has no prefix";
    case ParseErrorKind::UnboundPrefix: return "prefix not bound by namespaces: " + text;
  }
  return "invalid path";
}

// unescaped = { "\" any | any }   (a trailing lone backslash is dropped)
std::string unescape_simple(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      if (++i == text.size()) break;
    }
    out.push_back(text[i]);
  }
  return out;
}

namespace detail {

// component = "@" | "#" | "#text" | "@" name | digits | name
ParseResult<Component> parse_component(std::string_view text, Nesting at) {
  Component c;
  if (text == "@") return error(ParseErrorKind::EmptyAttrName);
  if (text == "#") {
    c.kind = Component::Kind::Each;
    return c;
  }
  if (text == "#text") {
    c.kind = Component::Kind::Text;
    return c;
  }
  if (!text.empty() && text[0] == '@') {
    auto name = parse_name(text.substr(1), true, at);
    if (auto* e = std::get_if<ParseError>(&name)) return std::move(*e);
    auto& qname = std::get<QualifiedName>(name);
    c.kind = Component::Kind::Attr;
    c.attr = unescape_simple(qname.local);
    c.attr_ns = std::move(qname.ns);
    return c;
  }
  bool all_digits = !text.empty();
  uint64_t value = 0;
  bool overflow = false;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') {
      all_digits = false;
      break;
    }
    const auto digit = static_cast<uint64_t>(ch - '0');
    if (value > (UINT64_MAX - digit) / 10) overflow = true;
    if (!overflow) value = value * 10 + digit;
  }
  if (all_digits) {
    if (overflow) return error(ParseErrorKind::BadIndex, text);
    c.kind = Component::Kind::Index;
    c.index = value;
    return c;
  }
  auto name = parse_name(text, false, at);
  if (auto* e = std::get_if<ParseError>(&name)) return std::move(*e);
  auto& qname = std::get<QualifiedName>(name);
  c.kind = Component::Kind::Name;
  c.name = qname.ns.any() ? NameMatcher::parse(qname.local)
                          : NameMatcher::parse(qname.local, std::move(qname.ns));
  return c;
}

// segment = component { "." component }
// A filter "#(" expr ")" ["#"] ends the component before it; "**" at the start of a component
// is a component of its own; "\" keeps the next character in the component unresolved.
ParseResult<std::vector<Component>> tokenize(std::string_view text, Nesting at) {
  std::vector<Component> out;
  // A rough guess at the component count saves regrowing the vector.
  out.reserve(std::min<size_t>(
      text.size(), 2 + static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
                     return ch == '.' || ch == '#';
                   }))));
  size_t buf_start = 0;
  size_t buf_len = 0;  // the buffer is always one contiguous run of the text
  auto flush = [&]() -> std::optional<ParseError> {
    if (buf_len == 0) return std::nullopt;
    auto comp = parse_component(text.substr(buf_start, buf_len), at);
    buf_len = 0;
    if (auto* e = std::get_if<ParseError>(&comp)) return std::move(*e);
    out.push_back(std::move(std::get<Component>(comp)));
    return std::nullopt;
  };
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '#' && i + 1 < text.size() && text[i + 1] == '(') {
      if (auto e = flush()) return std::move(*e);
      const size_t close = find_filter_close(text, i + 2);
      if (close == std::string_view::npos) return error(ParseErrorKind::UnmatchedParen);
      auto filter = parse_filter(text.substr(i + 2, close - (i + 2)), at.deeper());
      if (auto* e = std::get_if<ParseError>(&filter)) return std::move(*e);
      Component comp;
      comp.kind = Component::Kind::Filter;
      comp.filter = std::make_shared<const Filter>(std::move(std::get<Filter>(filter)));
      i = close + 1;
      if (i < text.size() && text[i] == '#') {
        comp.all = true;
        ++i;
      }
      out.push_back(std::move(comp));
      continue;
    }
    if (c == '*' && buf_len == 0 && i + 1 < text.size() && text[i + 1] == '*') {
      Component comp;
      comp.kind = Component::Kind::Descendant;
      out.push_back(std::move(comp));
      i += 2;
      continue;
    }
    if (c == '.') {
      if (auto e = flush()) return std::move(*e);
      ++i;
      continue;
    }
    if (buf_len == 0) buf_start = i;
    if (c == '{' && (buf_len == 0 || (buf_len == 1 && text[buf_start] == '@'))) {
      // A namespace: dots and all else up to its '}' belong to it (the name parser reports
      // one left open).
      const size_t close = brace_end(text, i);
      buf_len += close - i;
      i = close;
      continue;
    }
    const size_t take = (c == '\\' && i + 1 < text.size()) ? 2 : 1;
    buf_len += take;
    i += take;
  }
  if (auto e = flush()) return std::move(*e);
  return out;
}

}  // namespace detail

ParseResult<std::vector<Component>> tokenize_path(std::string_view text) {
  return detail::tokenize(text, {text.data(), 0});
}

ParseResult<Component> parse_component(std::string_view text) {
  return detail::parse_component(text, {text.data(), 0});
}

// steps = { name [index | "#" | filter] | "@" attr (last) | "#text" (last) | "**" name }
ParseResult<std::vector<Step>> build_steps(const std::vector<Component>& components) {
  using K = Component::Kind;
  std::vector<Step> steps;
  steps.reserve(components.size());
  const size_t n = components.size();
  size_t i = 0;
  while (i < n) {
    const Component& c = components[i];
    switch (c.kind) {
      case K::Name: {
        Step s;
        s.kind = StepKind::Element;
        s.name = c.name;
        size_t used = 1;
        if (i + 1 < n) {
          const Component& next = components[i + 1];
          if (next.kind == K::Index) {
            s.selector.kind = SelectorKind::Index;
            s.selector.index = next.index;
            used = 2;
          } else if (next.kind == K::Each) {
            s.selector.kind = (i + 2 < n) ? SelectorKind::Each : SelectorKind::Count;
            used = 2;
          } else if (next.kind == K::Filter) {
            s.selector.kind = next.all ? SelectorKind::FilterAll : SelectorKind::FilterFirst;
            s.selector.filter = next.filter;  // immutable, so sharing is as good as a copy
            used = 2;
          }
        }
        steps.push_back(std::move(s));
        i += used;
        break;
      }
      case K::Index: return error(ParseErrorKind::IndexWithoutName);
      case K::Each:
      case K::Filter: return error(ParseErrorKind::EachWithoutName);
      case K::Attr: {
        if (i + 1 != n) return error(ParseErrorKind::AttrNotLast);
        Step s;
        s.kind = StepKind::Attr;
        s.attr = c.attr;
        s.attr_ns = c.attr_ns;
        steps.push_back(std::move(s));
        ++i;
        break;
      }
      case K::Text: {
        if (i + 1 != n) return error(ParseErrorKind::TextNotLast);
        Step s;
        s.kind = StepKind::Text;
        steps.push_back(std::move(s));
        ++i;
        break;
      }
      case K::Descendant: {
        if (i + 1 >= n || components[i + 1].kind != K::Name) {
          return error(ParseErrorKind::DescendantWithoutName);
        }
        if (i + 2 < n) {
          const K after = components[i + 2].kind;
          if (after == K::Index || after == K::Each || after == K::Filter) {
            return error(ParseErrorKind::DescendantWithSelector);
          }
        }
        Step s;
        s.kind = StepKind::Element;
        s.name = components[i + 1].name;
        s.selector.kind = SelectorKind::Each;
        s.descendant = true;
        steps.push_back(std::move(s));
        i += 2;
        break;
      }
    }
  }
  return steps;
}

// path = segment { "|" modifier }
// Errors surface in order: pipe split, tokens left to right, empty path, steps, modifiers.
ParseResult<ProgramPtr> compile(std::string_view path, const NamespaceMap* namespaces) {
  auto pieces = split_pipes(path);
  if (auto* e = std::get_if<ParseError>(&pieces)) return std::move(*e);
  const auto& parts = std::get<PipePieces>(pieces);

  auto components = detail::tokenize(parts.segment, {parts.segment.data(), 0, namespaces});
  if (auto* e = std::get_if<ParseError>(&components)) return std::move(*e);
  const auto& comps = std::get<std::vector<Component>>(components);
  if (comps.empty()) return error(ParseErrorKind::EmptyPath);

  auto steps = build_steps(comps);
  if (auto* e = std::get_if<ParseError>(&steps)) return std::move(*e);

  auto program = std::make_shared<Program>();
  program->steps = std::move(std::get<std::vector<Step>>(steps));
  program->modifiers.reserve(parts.modifiers.size());
  for (const std::string_view text : parts.modifiers) {
    auto m = parse_modifier(text);
    if (auto* e = std::get_if<ParseError>(&m)) return std::move(*e);
    program->modifiers.push_back(std::get<Modifier>(m));
  }
  program->collect_mode = collect_mode_of(program->steps, program->modifiers);
  program->scoped = tests_namespaces(program->steps);
  return ProgramPtr(std::move(program));
}

}  // namespace varnex::path
