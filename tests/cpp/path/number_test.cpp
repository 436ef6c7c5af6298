// Decimal numbers at the edges of double precision and range.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "path/number.hpp"

namespace varnex::path {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The grammar is checked against Python's in the Python suite; these are the roundings and
// exponents a random search does not reach.
TEST(ParseDecimal, Value) {
  const std::pair<const char*, double> cases[] = {
      {"-0", -0.0}, {"123456789012345678901234567890", 1.2345678901234568e29},
      // Ties round to even: 2^53 + 1 lies halfway between two doubles.
      {"9007199254740993", 9007199254740992.0},
      {"4.9406564584124654e-324", 4.9406564584124654e-324},
      {"-1e400", -kInf}, {"-1e-400", -0.0}, {"100000e-330", 0.0},
      {"0.0001e312", 1e308}, {"0.001e312", kInf}, {"-000.00100e312", -kInf},
      {"1e99999999999999999999", kInf}, {"0e99999999999999999999", 0.0}};
  for (const auto& [text, value] : cases) {
    const auto got = parse_decimal(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(*got, value) << text;
    EXPECT_EQ(std::signbit(*got), std::signbit(value)) << text;
  }
}

TEST(ParseDecimal, RejectsWhatOnlyLooksLikeANumber) {
  for (const char* text : {"\xEF\xBC\x91", "1e\xC2\xA0", " 1", "infinit", "infinityy", "nan(1)",
                           "1f", "1e5.5"}) {
    EXPECT_FALSE(parse_decimal(text).has_value()) << text;
  }
}

TEST(TrimUnicodeWs, TrimsEveryWhitespaceCharacterAtEitherEnd) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},         {"a", "a"},           {" a\t", "a"},          {"\t\n\r ", ""},
      {"\xC3\xA9", "\xC3\xA9"},              // é ends in a byte some ws characters end in
      {"\xC2\xA0x\xE3\x80\x80", "x"},        // no-break space, ideographic space
      {"x\xE2\x80\xA9", "x"},                // paragraph separator at the end only
      {"\xE2\x80\xAFx y\x0B", "x y"},        // narrow no-break space, vertical tab
  };
  for (const auto& [text, trimmed] : cases) EXPECT_EQ(trim_unicode_ws(text), trimmed) << text;
}

}  // namespace
}  // namespace varnex::path
