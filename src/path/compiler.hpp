// The path compiler: pipe split, tokenizer, step builder, modifiers, filter expressions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "path/program.hpp"

namespace varnex::path {

enum class ParseErrorKind : uint8_t {
  EmptyPath,
  BadIndex,
  IndexWithoutName,
  EachWithoutName,
  AttrNotLast,
  TextNotLast,
  EmptyAttrName,
  UnmatchedParen,
  MissingOperator,
  UnknownModifier,
  EmptyModifierName,
  DescendantWithoutName,
  DescendantWithSelector,
  FilterTooDeep,   // filters, parentheses and '!' nested past kMaxFilterDepth
  MissingOperand,  // "&&" or "||" with no test on one side
  NotWithoutTest,  // '!' followed by neither '(' nor a test
  EmptyParens,     // "( )" in a filter, with nothing inside
  MissingJoin,     // something other than "&&", "||" or the end after a ')' in a filter
  UnclosedBrace,   // "{uri" with no '}'
  BraceInName,     // a '{' anywhere in a name but at its start
  EmptyLocalName,  // "{uri}" with nothing after it
  PrefixInClark,   // "{uri}p:name": the braces name the namespace already
  UnboundPrefix,   // a prefix the caller's map does not bind
};

// Bounds the parser's recursion; real paths never come close to this.
inline constexpr int kMaxFilterDepth = 32;

// No caret position known: the error's kind finds one in the path, if any.
inline constexpr size_t kNoCaret = static_cast<size_t>(-1);

struct ParseError {
  ParseErrorKind kind = ParseErrorKind::EmptyPath;
  std::string text;      // payload for BadIndex, MissingOperator, UnknownModifier, MissingOperand,
                         // MissingJoin, UnboundPrefix
  size_t at = kNoCaret;  // byte offset in the path the caret stands under, when the error knows
  [[nodiscard]] std::string message() const;
};

// Either a value or a ParseError.
template <class T>
using ParseResult = std::variant<T, ParseError>;

struct Component {
  enum class Kind : uint8_t { Name, Index, Each, Attr, Text, Filter, Descendant };
  Kind kind = Kind::Name;
  NameMatcher name;                      // Name
  uint64_t index = 0;                    // Index
  std::string attr;                      // Attr
  Namespace attr_ns;                     // Attr
  std::shared_ptr<const Filter> filter;  // Filter
  bool all = false;                      // Filter: '#' after ')'
};

// With `namespaces`, a prefix written in the path means the URI the map binds it to (an
// unbound one is an error) and "" binds unprefixed element names; without, names mean what
// they are written as.
[[nodiscard]] ParseResult<ProgramPtr> compile(std::string_view path,
                                              const NamespaceMap* namespaces = nullptr);
[[nodiscard]] ParseResult<std::vector<Component>> tokenize_path(std::string_view text);
[[nodiscard]] ParseResult<Component> parse_component(std::string_view text);
[[nodiscard]] ParseResult<std::vector<Step>> build_steps(const std::vector<Component>& components);
[[nodiscard]] ParseResult<Filter> parse_filter_expr(std::string_view text);
[[nodiscard]] std::string unescape_simple(std::string_view text);

}  // namespace varnex::path
