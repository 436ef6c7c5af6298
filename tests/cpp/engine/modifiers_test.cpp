// Modifiers over value lists and element items, and the text of numeric aggregates.
#include <cmath>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

// Over one <v> child per input, queried as values. Counts, the aggregates over no numbers,
// @flatten and @tostr are in the documentation's examples, and the query table has @last and
// @reverse.
TEST(Modifiers, Apply) {
  const struct {
    V input;
    std::string mods;
    V expected;
  } cases[] = {
      {{}, "|@first", {}}, {{"a", "b"}, "|@count|@count", {"1"}},
      {{"1", "2.5", "abc"}, "|@sum", {"3.5"}}, {{"x"}, "|@sum", {"0"}},
      {{"1", "2"}, "|@avg", {"1.5"}}, {{"3", "nan", "1"}, "|@min", {"1"}},
      {{"3", "NaN", "7"}, "|@max", {"7"}}, {{"inf", "-inf"}, "|@sum", {"nan"}},
      {{"b", "B", "a", "ab"}, "|@sort", {"B", "a", "ab", "b"}},
      {{"\xC3\xA9", "z"}, "|@sort", {"z", "\xC3\xA9"}},
      {{"b", "nan", "10", "a", "-5", " 2 "}, "|@sortn", {"-5", " 2 ", "10", "nan", "a", "b"}},
      {{"2", "1.0", "1", "2"}, "|@sort_n", {"1.0", "1", "2", "2"}},
      {{"b", "a", "b", "a"}, "|@uniq", {"b", "a"}}};
  for (const auto& c : cases) {
    std::string doc = "<r>";
    for (const auto& t : c.input) doc += "<v>" + t + "</v>";
    V expected;
    for (const auto& t : c.expected) expected.push_back("V:" + t);
    EXPECT_EQ(query(doc + "</r>", "r.v.#.#text" + c.mods), expected) << c.mods;
  }
}

TEST(Modifiers, ElementItemsUseTheirText) {
  const std::string doc = "<r><p>10</p><p><b>9</b></p><p>1<!--c-->0</p></r>";
  EXPECT_EQ(query(doc, "r.p|@unique"), (V{"S:<p>10</p>", "S:<p><b>9</b></p>"}));
  EXPECT_EQ(query(doc, "r.p|@sort_n|@first"), V{"S:<p><b>9</b></p>"});
  EXPECT_EQ(query(doc, "r.p|@sum", false), V{"V:29"});
}

TEST(FormatNumber, Rules) {
  const std::pair<double, std::string> cases[] = {
      {3, "3"}, {-2, "-2"}, {-0.0, "0"}, {-0.5, "-0.5"}, {999999999999999.0, "999999999999999"},
      {-1e15, "-1000000000000000"}, {123456789012345.6, "123456789012345.6"},
      {1.5e20, "150000000000000000000"}, {5e-324, "0." + std::string(323, '0') + "5"},
      {1.5e300, "15" + std::string(299, '0')}, {-2.5e-7, "-0.00000025"},
      {0.1 + 0.2, "0.30000000000000004"}, {INFINITY, "inf"}, {-INFINITY, "-inf"}, {NAN, "nan"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_number(value), text);
  EXPECT_EQ(format_number(1.7976931348623157e308), "17976931348623157" + std::string(292, '0'));
}

}  // namespace
}  // namespace varnex::engine::testing
