// Path compiler: programs as compact strings, and every error with its caret.
#include <gtest/gtest.h>

#include <string>

#include "path/cache.hpp"
#include "path/compiler.hpp"
#include "path/describe.hpp"
#include "path/filter_expr.hpp"

namespace varnex::path {
namespace {

std::string compiled(std::string_view path) {
  auto r = compile(path);
  if (auto* p = std::get_if<ProgramPtr>(&r)) return describe(**p);
  return "error: " + std::get<ParseError>(r).message();
}

struct Good {
  const char* path;
  const char* program;
};

class CompilesTo : public testing::TestWithParam<Good> {};

TEST_P(CompilesTo, Program) { EXPECT_EQ(compiled(GetParam().path), GetParam().program); }

INSTANTIATE_TEST_SUITE_P(Paths, CompilesTo, testing::Values(
    Good{"catalog.book.0.title", "catalog / book[0] / title"}, Good{".a..b.", "a / b"},
    Good{"a.007", "a[7]"}, Good{"a.18446744073709551615", "a[18446744073709551615]"},
    Good{"a.+1", "a / '+1'"}, Good{"a.\\5", "a / 5"},
    Good{"a.\\@id", "a / '@id'"}, Good{"a\\.b", "'a.b'"},
    Good{"@a\\\\\\.b", "@'a\\.b'"}, Good{"a.@a\\", "a / @a"},
    Good{"a.b |@count", "a / 'b ' | count ; count-only"}, Good{"a#b", "'a#b'"},
    Good{"**b", "**b"}, Good{"a.**.b.c.0", "a / **b / c[0]"},
    Good{"a**", "~'a**'"}, Good{"a.**b*", "a / **~'b*'"},
    Good{"\\*\\*.b", "'**' / b"}, Good{"a#(x=1)b", "a[first (x == #1)] / b"},
    Good{"a#(x=1)#(y=2)", "a[all (x == #1)] / '(y=2)'"},
    Good{"a#(x=1)#text", "a[all (x == #1)] / text"},
    Good{"a#(x=1).#text", "a[first (x == #1)] / #text"}, Good{"a#(x=')')", "a[first (x == ')')]"},
    Good{"a#(x=a|b)|@count", "a[first (x == 'a|b')] | count ; count-only"},
    Good{"a#(x\\)=1)", "a[first ('x)' == #1)]"},
    // The quote hides the inner filter from the operator search, not from the tokenizer.
    Good{"a#(b'#(c=1)'=2)", "a[first ('b''[first (c == #1)] / ''' == #2)]"},
    Good{"a|@reverse|@first|@last|@sort_n|@sortn|@uniq|@unique",
         "a | reverse first last sortn sortn unique unique ; collect-all"},
    Good{"a|@flatten|@tostr|@sum|@avg|@mean|@min|@max",
         "a | flatten tostr sum avg avg min max ; collect-all"},
    Good{"a|\xE3\x80\x80@count\xC2\xA0", "a | count ; count-only"},
    Good{"it's.a|@count", "'it's' / 'a|@count'"}, Good{"a\\|@count", "'a|@count'"},
    Good{"a.b.0|@count", "a / b[0] | count ; count-only"},
    Good{"a.b|@sort|@count", "a / b | sort count"},
    Good{"**.b|@first", "**b | first ; collect-all"},
    // Filter expressions on their own: operators, value grammar, attr shortcut.
    Good{"a#( x = 'b c' )", "a[first (x == 'b c')]"},
    Good{"a#(x='it\\'s')", "a[first (x == 'it's')]"}, Good{"a#(x='=')", "a[first (x == '=')]"},
    Good{"a#(x=\"5\")", "a[first (x == '5')]"}, Good{"a#(x=')", "error: unmatched ( in filter"},
    Good{"a#(x=-2.5e1)", "a[first (x == #-25)]"}, Good{"a#(x=0x10)", "a[first (x == '0x10')]"},
    Good{"a#(x=)", "a[first (x == '')]"}, Good{"a#(x=true)", "a[first (x == true)]"},
    Good{"a#(x=True)", "a[first (x == 'True')]"}, Good{"a#(x=\\'abc)", "a[first (x == '\\'abc')]"},
    Good{"a#(x<=3)", "a[first (x <= #3)]"}, Good{"a#(x>=<3)", "a[first (x >= '<3')]"},
    Good{"a#(name!%b*)", "a[first (name !% 'b*')]"},
    Good{"a#(@a\\=b=3)", "a[first (@'a=b' == #3 attr='a=b')]"},
    Good{"a#(b.@id=3)", "a[first (b / @id == #3)]"},
    Good{"a#(\xC2\xA0x\xE2\x80\x80=\xE3\x80\x80" "1\xC2\x85)", "a[first (x == #1)]"},
    Good{"a#(x=\x1C" "1)", "a[first (x == '\x1C" "1')]"},
    // Tests without an operator, joins and their precedence, filters inside filters.
    Good{"ab#(b)", "ab[first (b exists)]"}, Good{"a#(x\\=1)", "a[first ('x=1' exists)]"},
    Good{"a#(@id && @k=1)#", "a[all (@id exists && @k == #1 attr=k)]"},
    Good{"a#(x=1||y=2&&!z)", "a[first (x == #1 || (y == #2 && !(z exists)))]"},
    Good{"a#((x=1 || y=2) && z)", "a[first ((x == #1 || y == #2) && z exists)]"},
    Good{"a#( ! ( x = 1 ) )", "a[first (!(x == #1))]"},
    Good{"a#(!!x=1)", "a[first (!(!(x == #1)))]"},
    Good{"a#(!=1)", "error: empty path"},
    // Values run to a join or an unopened ')': parentheses in pairs stay, "&&" must be quoted.
    Good{"a#(x='a&&b' && y=f(1))", "a[first (x == 'a&&b' && y == 'f(1)')]"},
    Good{"a#(x=a&&b)", "a[first (x == 'a' && b exists)]"},
    Good{"a#(x=a&b|c)", "a[first (x == 'a&b|c')]"},
    Good{"a#(b#(c=1)=2)", "a[first (b[first (c == #1)] == #2)]"},
    Good{"a#(b.c#(d=1 || e)#)", "a[first (b / c[all (d == #1 || e exists)] exists)]"}));

struct Bad {
  const char* path;
  const char* message;
  int caret;  // byte offset under which the caret stands, -1 for no caret line
};

// Splits format_path_error's text into the message and the caret's byte offset.
std::pair<std::string, int> failure(std::string_view path) {
  auto r = compile(path);
  const auto* e = std::get_if<ParseError>(&r);
  if (e == nullptr) return {"compiled: " + describe(*std::get<ProgramPtr>(r)), -1};
  const std::string text = format_path_error(*e, path, nullptr, nullptr);
  const size_t first_nl = text.find('\n');
  const size_t second_nl = text.find('\n', first_nl + 1);
  int caret = -1;
  if (second_nl != std::string::npos) {
    const std::string caret_line = text.substr(second_nl + 1);
    EXPECT_EQ(caret_line.back(), '^');
    caret = static_cast<int>(caret_line.size()) - 1 - 12;
  }
  return {text.substr(0, first_nl), caret};
}

class FailsWith : public testing::TestWithParam<Bad> {};

TEST_P(FailsWith, MessageAndCaret) {
  const auto [message, caret] = failure(GetParam().path);
  EXPECT_EQ(message, GetParam().message);
  EXPECT_EQ(caret, GetParam().caret);
}

// The plainest form of each message is checked where users meet it, in the Python tests.
INSTANTIATE_TEST_SUITE_P(Paths, FailsWith, testing::Values(
    Bad{"|@count", "empty path", -1},
    Bad{"a.18446744073709551616", "bad index: 18446744073709551616", 2},
    Bad{"a.0#(x=1)", "# without preceding name", -1},
    Bad{"a#(x=1).#(y=2)", "# without preceding name", -1},
    Bad{"x@y.@id.b", "@attr must be the last component", 1},
    Bad{"**", "** must be followed by an element name", 0},
    Bad{"**.@id", "** must be followed by an element name", 0},
    Bad{"**.a#(x=1)", "** does not accept an explicit selector (no index/#/filter)", 0},
    Bad{"a(b))", "unmatched ( in filter", 4}, Bad{"a(b).c(d", "unmatched ( in filter", 6},
    Bad{"a#((x=1)", "unmatched ( in filter", 2}, Bad{"a#(x=1))", "unmatched ( in filter", 7},
    Bad{"a#(x=1)|@count|b)", "unmatched ( in filter", 16},
    Bad{"a\\)#(x=1", "unmatched ( in filter", 4}, Bad{"\"a)\"#(", "unmatched ( in filter", 5},
    Bad{"a#()", "filter expression missing operator: ", 0},
    Bad{"a#(x!y)", "filter expression missing operator: !y", 4},
    Bad{"a#(y=1 && x!y)", "filter expression missing operator: !y", 11},
    Bad{"a#('x=1')", "filter expression missing operator: 'x=1'", 3},
    Bad{"a#( =1)", "empty path", 4}, Bad{"a#(x=1 && =2)", "empty path", 10},
    Bad{"a#(x.@id.y=1)", "@attr must be the last component", 5},
    // Joins, '!' and parentheses: the caret under the one that lacks a test.
    Bad{"a#(x=1 &&)", "&& needs a test on each side", 7},
    Bad{"a#(&& x=1)", "&& needs a test on each side", 3},
    Bad{"a#(x='&&' || || y=2)", "|| needs a test on each side", 10},
    Bad{"a#(x=1 && ())", "empty ( ) in filter", 10},
    Bad{"a#(!)", "! must be followed by ( or a test", 3},
    Bad{"a#(x=1 && (y || !))", "! must be followed by ( or a test", 16},
    Bad{"a#((x=1) y=2)", "filter expression missing && or || before: y=2", 9},
    Bad{"a#(**=1)", "** must be followed by an element name", 3},
    Bad{"a|@count|@COUNT", "unknown modifier: @COUNT", 9},
    Bad{"a|@sort n", "unknown modifier: @sort n", 2}, Bad{"a|count", "modifier name is empty", 1},
    Bad{"a|\x1C@count", "modifier name is empty", 1},
    // Errors are reported in a fixed order: pipe split, tokens, empty path, steps, modifiers.
    Bad{"a.0.1.@|@bogus)", "unmatched ( in filter", 14},
    Bad{"a.0.1.@|@bogus", "@ must be followed by an attribute name", 6},
    Bad{"0.@x.y.99999999999999999999", "bad index: 99999999999999999999", 7},
    Bad{"..|@bogus", "empty path", -1}, Bad{"0.a.@x.b|@bogus", "index without preceding name", -1},
    Bad{"a.@x.b.0.0|@bogus", "@attr must be the last component", 2},
    Bad{"a|@bogus|", "unknown modifier: @bogus", 2}));

TEST(Compile, FilterNestingIsBounded) {
  const std::string_view text = "x=1";
  const auto deepest = detail::parse_filter(text, {text.data(), kMaxFilterDepth});
  EXPECT_TRUE(std::holds_alternative<Filter>(deepest));
  const auto deep = detail::parse_filter(text, {text.data(), kMaxFilterDepth + 1});
  ASSERT_TRUE(std::holds_alternative<ParseError>(deep));
  EXPECT_EQ(std::get<ParseError>(deep).kind, ParseErrorKind::FilterTooDeep);
  // Parentheses and '!' count as filters do, so no text can take the parser deeper.
  for (const std::string_view open : {"(", "!", "b#("}) {
    std::string path = "a#(";
    for (int i = 0; i < 40; ++i) path += open;
    path += "x=1";
    for (int i = 0; i < 40; ++i) path += open == "!" ? "" : ")";
    path += ")";
    EXPECT_EQ(failure(path), std::make_pair(std::string("filters nested too deeply"), -1)) << open;
  }
}

}  // namespace
}  // namespace varnex::path
