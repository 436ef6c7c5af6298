// Filter expressions: the text between "#(" and ")".
#include <utility>

#include "path/compiler.hpp"
#include "path/filter_expr.hpp"
#include "path/number.hpp"
#include "path/scan.hpp"

namespace varnex::path {

namespace {

ParseError error(ParseErrorKind kind, std::string_view text = {}) {
  return ParseError{kind, std::string(text)};
}

bool is_operator_char(char c) noexcept {
  return c == '!' || c == '%' || c == '<' || c == '=' || c == '>';
}

// Position of the first operator character outside quotes, or npos; parentheses do not count.
size_t find_operator(std::string_view text) noexcept {
  return detail::find_live(text, 0, [&](size_t i) { return is_operator_char(text[i]); });
}

struct OperatorText {
  std::string_view text;
  CompareOp op;
};

// Two-character forms first, so "<=" is never read as "<".
constexpr OperatorText kOperators[] = {
    {"==", CompareOp::Eq}, {"!=", CompareOp::Ne},   {"<=", CompareOp::Le},
    {">=", CompareOp::Ge}, {"!%", CompareOp::NotLike}, {"=", CompareOp::Eq},
    {"<", CompareOp::Lt},  {">", CompareOp::Gt},    {"%", CompareOp::Like},
};

// value = quoted | "true" | "false" | decimal | bare
FilterValue parse_value(std::string_view text) {
  FilterValue v;
  if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
      text.back() == text.front()) {
    v.kind = FilterValue::Kind::Str;
    v.str = unescape_simple(text.substr(1, text.size() - 2));
    return v;
  }
  if (text == "true" || text == "false") {
    v.kind = FilterValue::Kind::Bool;
    v.boolean = text == "true";
    return v;
  }
  if (const auto number = parse_decimal(text)) {
    v.kind = FilterValue::Kind::Number;
    v.number = *number;
    return v;
  }
  v.kind = FilterValue::Kind::Str;
  v.str.assign(text);
  return v;
}

}  // namespace

namespace detail {

// filter = path op value
// op = "==" | "=" | "!=" | "<" | "<=" | ">" | ">=" | "%" | "!%"
ParseResult<Filter> parse_filter(std::string_view text, int depth) {
  if (depth > kMaxFilterDepth) return error(ParseErrorKind::FilterTooDeep);
  if (text.empty()) return error(ParseErrorKind::MissingOperator);
  const size_t at = find_operator(text);
  if (at == std::string_view::npos) return error(ParseErrorKind::MissingOperator, text);

  const std::string_view rest = text.substr(at);
  const OperatorText* found = nullptr;
  for (const OperatorText& o : kOperators) {
    if (rest.starts_with(o.text)) {
      found = &o;
      break;
    }
  }
  if (found == nullptr) return error(ParseErrorKind::MissingOperator, rest);  // a lone '!'

  const std::string_view left = trim_unicode_ws(text.substr(0, at));
  const std::string_view right = trim_unicode_ws(rest.substr(found->text.size()));
  if (left.empty()) return error(ParseErrorKind::EmptyPath);

  auto components = tokenize(left, depth);
  if (auto* e = std::get_if<ParseError>(&components)) return std::move(*e);
  auto steps = build_steps(std::get<std::vector<Component>>(components));
  if (auto* e = std::get_if<ParseError>(&steps)) return std::move(*e);

  Filter f;
  f.path = std::move(std::get<std::vector<Step>>(steps));
  // A left side of dots alone has no step to evaluate; treat it like an empty path.
  if (f.path.empty()) return error(ParseErrorKind::EmptyPath);
  if (f.path.size() == 1 && f.path[0].kind == StepKind::Attr) f.attr = f.path[0].attr;
  f.op = found->op;
  f.value = parse_value(right);
  return f;
}

}  // namespace detail

ParseResult<Filter> parse_filter_expr(std::string_view text) {
  return detail::parse_filter(text, 0);
}

}  // namespace varnex::path
