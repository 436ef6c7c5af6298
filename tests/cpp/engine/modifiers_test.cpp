// Modifiers over value lists and element items, and the text of numeric aggregates.
#include <cmath>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

using V = std::vector<std::string>;

// Builds one <v> child per text and runs "r.v.#.#text|<mods>" over them, so
// every item is a Value; the element form is tested separately.
std::vector<std::string> over_values(const V& texts, const std::string& mods) {
  std::string doc = "<r>";
  for (const auto& t : texts) doc += "<v>" + t + "</v>";
  doc += "</r>";
  return query(doc, "r.v.#.#text" + mods);
}

std::vector<std::string> values(const V& texts) {
  V out;
  for (const auto& t : texts) out.push_back("V:" + t);
  return out;
}

struct ModCase {
  V input;
  std::string mods;
  V expected;  // value texts
};

class Modifiers : public ::testing::TestWithParam<ModCase> {};

TEST_P(Modifiers, Apply) {
  const ModCase& c = GetParam();
  EXPECT_EQ(over_values(c.input, c.mods), values(c.expected)) << c.mods;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Modifiers,
    ::testing::Values(
        ModCase{{}, "|@first", {}}, ModCase{{}, "|@last", {}}, ModCase{{}, "|@count", {"0"}},
        ModCase{{"a", "b", "c"}, "|@last", {"c"}}, ModCase{{"a", "b"}, "|@count|@count", {"1"}},
        ModCase{{"a", "b", "c"}, "|@reverse", {"c", "b", "a"}},
        ModCase{{"a", "b", "c"}, "|@reverse|@reverse", {"a", "b", "c"}},
        ModCase{{"1", "2.5", "abc"}, "|@sum", {"3.5"}}, ModCase{{"1", "2"}, "|@sum", {"3"}},
        ModCase{{"x"}, "|@sum", {"0"}}, ModCase{{"-0"}, "|@sum", {"0"}},
        ModCase{{"1", "2"}, "|@avg", {"1.5"}}, ModCase{{"2", "4"}, "|@mean", {"3"}},
        ModCase{{}, "|@avg", {"nan"}}, ModCase{{}, "|@min", {"inf"}},
        ModCase{{}, "|@max", {"-inf"}}, ModCase{{"3", "nan", "1"}, "|@min", {"1"}},
        ModCase{{"3", "NaN", "7"}, "|@max", {"7"}},
        ModCase{{"1e15"}, "|@sum", {"1000000000000000"}},
        ModCase{{"999999999999999"}, "|@sum", {"999999999999999"}},
        ModCase{{"-999999999999999"}, "|@sum", {"-999999999999999"}},
        ModCase{{"0.1", "0.2"}, "|@sum", {"0.30000000000000004"}},
        ModCase{{"inf"}, "|@sum", {"inf"}}, ModCase{{"-inf", "1"}, "|@min", {"-inf"}},
        ModCase{{"inf", "-inf"}, "|@sum", {"nan"}},
        ModCase{{"1e-7"}, "|@sum", {"0.0000001"}},
        ModCase{{"1.5e20"}, "|@max", {"150000000000000000000"}},
        ModCase{{"b", "B", "a", "ab"}, "|@sort", {"B", "a", "ab", "b"}},
        ModCase{{"\xC3\xA9", "z"}, "|@sort", {"z", "\xC3\xA9"}},
        ModCase{{"10", "9", "x", " 2 "}, "|@sort_n", {" 2 ", "9", "10", "x"}},
        ModCase{{"b", "nan", "1", "a", "-5"}, "|@sortn", {"-5", "1", "nan", "a", "b"}},
        ModCase{{"2", "1.0", "1", "2"}, "|@sort_n", {"1.0", "1", "2", "2"}},
        ModCase{{"a", "b", "a"}, "|@unique", {"a", "b"}},
        ModCase{{"b", "a", "b", "a"}, "|@uniq|@sort", {"a", "b"}},
        ModCase{{"b", "a", "c"}, "|@sort|@first", {"a"}},
        ModCase{{"a", "b"}, "|@flatten|@tostr", {"a", "b"}}));

TEST(Modifiers, ElementItemsUseTheirText) {
  const std::string doc = "<r><p>10</p><p><b>9</b></p><p>1<!--c-->0</p></r>";
  EXPECT_EQ(query(doc, "r.p|@unique"), (V{"S:<p>10</p>", "S:<p><b>9</b></p>"}));
  EXPECT_EQ(query(doc, "r.p|@sort_n|@first"), V{"S:<p><b>9</b></p>"});
  EXPECT_EQ(query(doc, "r.p|@sum"), V{"V:29"});
  EXPECT_EQ(query(doc, "r.p|@sum", false), V{"V:29"});
}

struct FormatCase {
  double value;
  std::string text;
};

class FormatNumber : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatNumber, Text) { EXPECT_EQ(format_number(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatNumber,
    ::testing::Values(FormatCase{3, "3"}, FormatCase{-2, "-2"}, FormatCase{-0.0, "0"},
                      FormatCase{2.5, "2.5"}, FormatCase{-0.5, "-0.5"},
                      FormatCase{999999999999999.0, "999999999999999"},
                      FormatCase{1e15, "1000000000000000"},
                      FormatCase{123456789012345.6, "123456789012345.6"},
                      FormatCase{1e21, "1000000000000000000000"},
                      FormatCase{5e-324, "0." + std::string(323, '0') + "5"},
                      FormatCase{INFINITY, "inf"}, FormatCase{-INFINITY, "-inf"},
                      FormatCase{NAN, "nan"}));

TEST(FormatNumber, LargestDoubleRoundTrips) {
  const std::string text = format_number(1.7976931348623157e308);
  EXPECT_EQ(text.size(), 309u);
  EXPECT_EQ(text.substr(0, 17), "17976931348623157");
  EXPECT_EQ(std::stod(text), 1.7976931348623157e308);
}

}  // namespace
}  // namespace varnex::engine::testing
