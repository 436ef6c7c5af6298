// Filter expressions: the text between "#(" and ")".
#include "path/filter_expr.hpp"

#include <optional>
#include <utility>

#include "path/compiler.hpp"
#include "path/lexical.hpp"
#include "path/number.hpp"

namespace varnex::path {

namespace {

bool is_operator_char(char c) noexcept {
  return c == '!' || c == '%' || c == '<' || c == '=' || c == '>';
}

struct OperatorText {
  std::string_view text;
  CompareOp op;
};

// Two-character forms first, so "<=" is never read as "<".
constexpr OperatorText kOperators[] = {
    {"==", CompareOp::Eq}, {"!=", CompareOp::Ne},      {"<=", CompareOp::Le},
    {">=", CompareOp::Ge}, {"!%", CompareOp::NotLike}, {"=", CompareOp::Eq},
    {"<", CompareOp::Lt},  {">", CompareOp::Gt},       {"%", CompareOp::Like},
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

// One filter's text, read left to right (see parse_filter for the grammar).
class FilterParser {
 public:
  FilterParser(std::string_view text, detail::Nesting at) : text_(text), at_(at) {}

  ParseResult<Filter> run();

 private:
  using Failure = std::optional<ParseError>;

  // A chain of operands joined by "||" (`join` '|') or "&&" ('&').
  Failure parse_joined(int depth, char join);
  Failure parse_unary(int depth);
  Failure parse_test(int depth);

  [[nodiscard]] ParseError fail(ParseErrorKind kind, size_t pos, std::string_view text = {}) const {
    return ParseError{kind, std::string(text), at_.offset(text_.data() + pos)};
  }
  void skip_ws() noexcept {
    pos_ = text_.size() - trim_unicode_ws_start(text_.substr(pos_)).size();
  }
  [[nodiscard]] bool at_join(char c) const noexcept {
    return pos_ + 1 < text_.size() && text_[pos_] == c && text_[pos_ + 1] == c;
  }
  // After white space: the text ends, or a join or a ')' comes before any test.
  [[nodiscard]] bool operand_missing() noexcept {
    skip_ws();
    return pos_ == text_.size() || text_[pos_] == ')' || at_join('&') || at_join('|');
  }
  // Where a path (`path`) or a value starting at `from` ends: at a join or a ')' it did not
  // open, and a path also at an operator.
  [[nodiscard]] size_t part_end(size_t from, bool path) const;
  // Opens room for an And, Or or Not node heading the nodes from `first` on.
  void head(size_t first, FilterNode::Kind kind) {
    out_.nodes.insert(out_.nodes.begin() + static_cast<std::ptrdiff_t>(first),
                      FilterNode{kind, 0, 1});
  }
  void close(size_t first) {
    out_.nodes[first].size = static_cast<uint32_t>(out_.nodes.size() - first);
  }

  std::string_view text_;
  detail::Nesting at_;
  size_t pos_ = 0;
  Filter out_;
};

size_t FilterParser::part_end(size_t from, bool path) const {
  size_t depth = 0;
  const size_t end = detail::find_live(text_, from, [&](size_t i) {
    const char c = text_[i];
    if (c == '(') {
      ++depth;
      return false;
    }
    if (c == ')') {
      if (depth == 0) return true;
      --depth;
      return false;
    }
    if (depth > 0) return false;
    if ((c == '&' || c == '|') && i + 1 < text_.size() && text_[i + 1] == c) return true;
    return path && is_operator_char(c);
  });
  return end == std::string_view::npos ? text_.size() : end;
}

ParseResult<Filter> FilterParser::run() {
  if (at_.depth > kMaxFilterDepth) return ParseError{ParseErrorKind::FilterTooDeep, {}};
  if (trim_unicode_ws(text_).empty()) {
    return ParseError{ParseErrorKind::MissingOperator, std::string(text_)};
  }
  if (auto e = parse_joined(at_.depth, '|')) return std::move(*e);
  skip_ws();
  // The chain stops at the end or at a ')' it did not open; the tokenizer balanced the text.
  if (pos_ < text_.size()) return fail(ParseErrorKind::UnmatchedParen, pos_);
  for (const FilterTest& t : out_.tests) {
    if (!t.attr) continue;
    out_.tag_tests = out_.nodes.size() == 1 ? Filter::TagTests::One : Filter::TagTests::Some;
  }
  return std::move(out_);
}

// or  = and { "||" and }
// and = unary { "&&" unary }
FilterParser::Failure FilterParser::parse_joined(int depth, char join) {
  const bool is_or = join == '|';
  const auto operand = [&] { return is_or ? parse_joined(depth, '&') : parse_unary(depth); };
  const size_t first = out_.nodes.size();
  if (auto e = operand()) return e;
  if (!at_join(join)) return std::nullopt;
  head(first, is_or ? FilterNode::Kind::Or : FilterNode::Kind::And);
  while (at_join(join)) {
    const size_t at = pos_;
    pos_ += 2;
    if (operand_missing()) return fail(ParseErrorKind::MissingOperand, at, is_or ? "||" : "&&");
    if (auto e = operand()) return e;
  }
  close(first);
  return std::nullopt;
}

// unary = "!" unary | "(" or ")" | test
FilterParser::Failure FilterParser::parse_unary(int depth) {
  if (depth > kMaxFilterDepth) return ParseError{ParseErrorKind::FilterTooDeep, {}};
  if (operand_missing()) {
    // A gap after a join, '(' or '!' is reported where those are read: this one is first.
    const bool bar = at_join('|');
    if (bar || at_join('&')) return fail(ParseErrorKind::MissingOperand, pos_, bar ? "||" : "&&");
    return fail(ParseErrorKind::MissingOperator, pos_);
  }
  const char c = text_[pos_];
  const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
  const bool operator_next = next == '=' || next == '%';  // "!=" or "!%" with no left side
  if (c == '!' && !operator_next) {
    const size_t bang = pos_++;
    if (operand_missing()) return fail(ParseErrorKind::NotWithoutTest, bang);
    const size_t first = out_.nodes.size();
    out_.nodes.push_back(FilterNode{FilterNode::Kind::Not, 0, 1});
    if (auto e = parse_unary(depth + 1)) return e;
    close(first);
    return std::nullopt;
  }
  if (c == '(') {
    const size_t open = pos_++;
    skip_ws();
    if (pos_ < text_.size() && text_[pos_] == ')') return fail(ParseErrorKind::EmptyParens, open);
    if (auto e = parse_joined(depth + 1, '|')) return e;
    skip_ws();
    if (pos_ == text_.size()) return fail(ParseErrorKind::UnmatchedParen, open);
    ++pos_;                                      // the ')'
    if (operand_missing()) return std::nullopt;  // the end, a join or a ')' follows, as it must
    return fail(ParseErrorKind::MissingJoin, pos_, trim_unicode_ws(text_.substr(pos_)));
  }
  return parse_test(depth);
}

// test = path [ op value ]
FilterParser::Failure FilterParser::parse_test(int depth) {
  const size_t start = pos_;
  const size_t end = part_end(start, true);
  const std::string_view left = trim_unicode_ws(text_.substr(start, end - start));
  FilterTest test;
  if (end < text_.size() && is_operator_char(text_[end])) {
    const std::string_view rest = text_.substr(end);
    const OperatorText* found = nullptr;
    for (const OperatorText& o : kOperators) {
      if (rest.starts_with(o.text)) {
        found = &o;
        break;
      }
    }
    if (found == nullptr) return fail(ParseErrorKind::MissingOperator, end, rest);  // a lone '!'
    if (left.empty()) return fail(ParseErrorKind::EmptyPath, end);
    const size_t value_start = end + found->text.size();
    const size_t value_end = part_end(value_start, false);
    test.op = found->op;
    test.value = parse_value(trim_unicode_ws(text_.substr(value_start, value_end - value_start)));
    pos_ = value_end;
  } else {
    // A quoted value standing alone is a comparison that lost its path and operator.
    const bool quoted = !left.empty() && (left.front() == '\'' || left.front() == '"');
    if (quoted) return fail(ParseErrorKind::MissingOperator, start, left);
    test.exists = true;
    pos_ = end;
  }
  auto components = detail::tokenize(left, at_.at_depth(depth));
  if (auto* e = std::get_if<ParseError>(&components)) return std::move(*e);
  auto steps = build_steps(std::get<std::vector<Component>>(components));
  if (auto* e = std::get_if<ParseError>(&steps)) return std::move(*e);
  test.path = std::move(std::get<std::vector<Step>>(steps));
  // A left side of dots alone has no step to evaluate; treat it like an empty path.
  if (test.path.empty()) return fail(ParseErrorKind::EmptyPath, start);
  if (test.path.size() == 1 && test.path[0].kind == StepKind::Attr) test.attr = test.path[0].attr;
  const auto index = static_cast<uint32_t>(out_.tests.size());
  out_.nodes.push_back(FilterNode{FilterNode::Kind::Test, index, 1});
  out_.tests.push_back(std::move(test));
  return std::nullopt;
}

}  // namespace

namespace detail {

// filter = or
// or     = and { "||" and }
// and    = unary { "&&" unary }
// unary  = "!" unary | "(" or ")" | test
// test   = path [ op value ]
// op     = "==" | "=" | "!=" | "<=" | ">=" | "<" | ">" | "%" | "!%"
//
// "!" binds tightest, then "&&", then "||": `a || b && !c` reads `a || (b && (!c))`. White
// space may stand around every part. Joins, parentheses and operators count outside quotes
// and escapes only. A path runs to its operator, a join, or a ')' it did not open; a value
// runs to a join or such a ')', so a bare value may hold parentheses in pairs but not "&&" or
// "||". A test without an operator holds when its path selects anything.
ParseResult<Filter> parse_filter(std::string_view text, Nesting at) {
  return FilterParser(text, at).run();
}

}  // namespace detail

ParseResult<Filter> parse_filter_expr(std::string_view text) {
  return detail::parse_filter(text, {text.data(), 0});
}

}  // namespace varnex::path
