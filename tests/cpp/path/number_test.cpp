// Decimal numbers and Unicode white-space trimming.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "path/number.hpp"

namespace varnex::path {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Decimal {
  const char* text;
  double value;
};

class ParsesAs : public testing::TestWithParam<Decimal> {};

TEST_P(ParsesAs, Value) {
  const auto got = parse_decimal(GetParam().text);
  ASSERT_TRUE(got.has_value()) << GetParam().text;
  EXPECT_EQ(*got, GetParam().value);
  EXPECT_EQ(std::signbit(*got), std::signbit(GetParam().value)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Numbers, ParsesAs, testing::Values(
    Decimal{"-0", -0.0}, Decimal{"007", 7.0}, Decimal{"+1", 1.0}, Decimal{"-2.5e1", -25.0},
    Decimal{".5", 0.5}, Decimal{"1.", 1.0}, Decimal{"1.5E+2", 150.0}, Decimal{"0.1", 0.1},
    Decimal{"123456789012345678901234567890", 1.2345678901234568e29},
    // Ties round to even: 2^53 + 1 lies halfway between two doubles.
    Decimal{"9007199254740993", 9007199254740992.0},
    Decimal{"4.9406564584124654e-324", 4.9406564584124654e-324},
    Decimal{"-1e400", -kInf}, Decimal{"-1e-400", -0.0}, Decimal{"100000e-330", 0.0},
    Decimal{"0.0001e312", 1e308}, Decimal{"0.001e312", kInf}, Decimal{"-000.00100e312", -kInf},
    Decimal{"1e99999999999999999999", kInf}, Decimal{"0e99999999999999999999", 0.0},
    Decimal{"-INF", -kInf}, Decimal{"+Infinity", kInf}));

TEST(ParseDecimal, NanInAnyCaseWithSign) {
  for (const char* text : {"NaN", "+nan", "-NAN"}) {
    EXPECT_TRUE(std::isnan(parse_decimal(text).value_or(0))) << text;
  }
  EXPECT_TRUE(std::signbit(*parse_decimal("-nan")));
}

class Rejects : public testing::TestWithParam<const char*> {};

TEST_P(Rejects, NotANumber) { EXPECT_FALSE(parse_decimal(GetParam()).has_value()); }

INSTANTIATE_TEST_SUITE_P(NotNumbers, Rejects, testing::Values(
    "", "-", ".", "+.", ".e5", "1e", "1e-", "1.5.2", "+-1", " 1", "1 2", "0x10", "1_000",
    "1e5.5", "infinit", "infinityy", "nan(1)", "1f", "\xEF\xBC\x91", "1e\xC2\xA0"));

struct Trim {
  std::string text;
  std::string trimmed;
};

class Trims : public testing::TestWithParam<Trim> {};

TEST_P(Trims, BothEnds) { EXPECT_EQ(trim_unicode_ws(GetParam().text), GetParam().trimmed); }

INSTANTIATE_TEST_SUITE_P(WhiteSpace, Trims, testing::Values(
    Trim{"   ", ""}, Trim{"\xE2\x80\x80", ""}, Trim{"\t\n\v\f\r a b \t\n\v\f\r", "a b"},
    Trim{"\xC2\x85" "a" "\xC2\xA0", "a"},                       // U+0085, U+00A0
    Trim{"\xE1\x9A\x80" "a" "\xE3\x80\x80", "a"},               // U+1680, U+3000
    Trim{"\xE2\x80\x80\xE2\x80\x8A" "a" "\xE2\x80\xA8\xE2\x80\xA9", "a"},  // U+2000, 200A, 2028/9
    Trim{"\xE2\x80\xAF" "a" "\xE2\x81\x9F", "a"},               // U+202F, U+205F
    // Look-alikes that are not White_Space.
    Trim{"\x1C" "a" "\x1F", "\x1C" "a" "\x1F"},
    Trim{"\xE2\x80\x8B" "a", "\xE2\x80\x8B" "a"},               // U+200B zero width space
    Trim{"\xEF\xBB\xBF" "a", "\xEF\xBB\xBF" "a"},               // BOM
    // Stray bytes are not white space and stop the trim.
    Trim{"\x85" "a" "\xA0", "\x85" "a" "\xA0"},
    Trim{" \xC2", "\xC2"}, Trim{"\xE2\x80 ", "\xE2\x80"},
    Trim{std::string("\0 a", 3), std::string("\0 a", 3)}));

}  // namespace
}  // namespace varnex::path
