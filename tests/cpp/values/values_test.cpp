// Typed readings of texts: the edges of each type's range and grammar, exact decimals, dates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "values/values.hpp"

namespace varnex::values {
namespace {

constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();

TEST(ParseInt, RangeAndGrammar) {
  EXPECT_EQ(parse_int("-9223372036854775808", kMin64, kMax64), kMin64);
  EXPECT_EQ(parse_int("+9223372036854775807", kMin64, kMax64), kMax64);
  EXPECT_EQ(parse_int("-0", kMin64, kMax64), 0);
  EXPECT_EQ(parse_int("007", kMin64, kMax64), 7);
  EXPECT_EQ(parse_int("-128", -128, 127), -128);
  for (const char* bad : {"9223372036854775808", "-9223372036854775809",
                          "99999999999999999999999", "", "-", "1.0", "1e3", "0x10", "1_000",
                          " 1", "inf", "\xEF\xBC\x91"}) {
    EXPECT_FALSE(parse_int(bad, kMin64, kMax64).has_value()) << bad;
  }
  EXPECT_FALSE(parse_int("128", -128, 127).has_value());
  EXPECT_FALSE(parse_int("-129", -128, 127).has_value());
  EXPECT_EQ(parse_uint("18446744073709551615", UINT64_MAX), UINT64_MAX);
  EXPECT_EQ(parse_uint("-0", 255), 0u);
  EXPECT_FALSE(parse_uint("-1", 255).has_value());
  EXPECT_FALSE(parse_uint("256", 255).has_value());
  EXPECT_FALSE(parse_uint("18446744073709551616", UINT64_MAX).has_value());
}

TEST(ParseFloat, SinglePrecisionRoundsOnce) {
  // Halfway between two floats, but not as a double first: read directly, it rounds up.
  EXPECT_EQ(parse_float32("1.00000005960464477539062500001"), 1.00000012f);
  EXPECT_EQ(parse_float32("-1e39"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_float32("1e-50"), 0.0f);
  EXPECT_TRUE(std::isnan(*parse_float32("NaN")));
  EXPECT_FALSE(parse_float32("1f").has_value());
  EXPECT_EQ(parse_float64("44.95"), 44.95);
}

TEST(ParseBool, WordsAndDigits) {
  EXPECT_EQ(parse_bool("TRUE"), true);
  EXPECT_EQ(parse_bool("False"), false);
  EXPECT_EQ(parse_bool("1"), true);
  EXPECT_EQ(parse_bool("0"), false);
  for (const char* bad : {"yes", "01", "t", ""}) EXPECT_FALSE(parse_bool(bad).has_value()) << bad;
  EXPECT_FALSE(is_bool_word("1"));
  EXPECT_TRUE(is_bool_word("tRuE"));
}

TEST(ParseDecimal128, ExactOrNothing) {
  const auto as_text = [](const char* text, int p, int s) -> std::string {
    const auto v = parse_decimal128(text, p, s);
    return v ? format_decimal128(*v, s) : "invalid";
  };
  EXPECT_EQ(as_text("12.5", 5, 2), "12.50");
  EXPECT_EQ(as_text("-0.05", 5, 2), "-0.05");
  EXPECT_EQ(as_text("999.99", 5, 2), "999.99");
  EXPECT_EQ(as_text("1000", 5, 2), "invalid");        // six digits at scale 2
  EXPECT_EQ(as_text("12.345", 5, 2), "invalid");      // no rounding
  EXPECT_EQ(as_text("12.3400000", 5, 2), "12.34");    // zeros below the scale are fine
  EXPECT_EQ(as_text("1.5e2", 5, 2), "150.00");
  EXPECT_EQ(as_text("15e-3", 5, 2), "invalid");
  EXPECT_EQ(as_text("0e999999999999", 5, 2), "0.00");
  EXPECT_EQ(as_text("1e-99999999999", 5, 2), "invalid");
  EXPECT_EQ(as_text("000000000000000000000000000000000000000001", 1, 0), "1");
  EXPECT_EQ(as_text("99999999999999999999999999999999999999", 38, 0),
            "99999999999999999999999999999999999999");
  EXPECT_EQ(as_text("-99999999999999999999999999999999999999", 38, 0),
            "-99999999999999999999999999999999999999");
  EXPECT_EQ(as_text("100000000000000000000000000000000000000", 38, 0), "invalid");
  EXPECT_EQ(as_text("1e37", 38, 0), "10000000000000000000000000000000000000");
  EXPECT_EQ(as_text("9e38", 38, 0), "invalid");  // would overflow 128 bits unchecked
  EXPECT_EQ(as_text("5", 38, 38), "invalid");
  EXPECT_EQ(as_text(".5", 1, 1), "0.5");
  EXPECT_EQ(as_text("inf", 10, 2), "invalid");
}

TEST(ParseDate, IsoAndFormats) {
  EXPECT_EQ(parse_date("1970-01-01", nullptr), 0);
  EXPECT_EQ(parse_date("2000-03-01", nullptr), 11017);
  EXPECT_EQ(parse_date("1969-12-31", nullptr), -1);
  EXPECT_EQ(parse_date("0001-01-01", nullptr), -719162);
  EXPECT_EQ(parse_date("2002-09-24Z", nullptr), parse_date("2002-09-24", nullptr));
  EXPECT_EQ(parse_date("2000-02-29", nullptr), 11016);
  for (const char* bad : {"1900-02-29", "2001-02-29", "2000-13-01", "2000-00-10", "2000-1-2",
                          "2000-01-02T00:00", "20000102", "2000-01-32", ""}) {
    EXPECT_FALSE(parse_date(bad, nullptr).has_value()) << bad;
  }
  const auto format = std::get<DateFormat>(DateFormat::compile("%d %B %Y"));
  EXPECT_EQ(parse_date("1 March 2000", &format), 11017);
  EXPECT_EQ(parse_date("01  mar   2000", &format), 11017);
  EXPECT_FALSE(parse_date("1 Mars 2000", &format).has_value());
  const auto yday = std::get<DateFormat>(DateFormat::compile("%Y/%j"));
  EXPECT_EQ(parse_date("2000/061", &yday), 11017);
  EXPECT_FALSE(parse_date("2001/366", &yday).has_value());
  EXPECT_EQ(std::get<std::string>(DateFormat::compile("%Y-%q")), "unknown directive %q in format");
  EXPECT_EQ(std::get<std::string>(DateFormat::compile("%Y%")), "format ends in a lone %");
}

TEST(ParseTimestamp, IsoZonesUnitsAndFormats) {
  const auto us = [](const char* text) { return parse_timestamp(text, TimeUnit::Micro, nullptr); };
  EXPECT_EQ(us("1970-01-01T00:00:00"), 0);
  EXPECT_EQ(us("1970-01-01"), 0);
  EXPECT_EQ(us("1970-01-01T01"), 3'600'000'000);
  EXPECT_EQ(us("1970-01-01 00:01"), 60'000'000);
  EXPECT_EQ(us("1970-01-01T00:00:01.5"), 1'500'000);
  EXPECT_EQ(us("1970-01-01T00:00:01.1234569"), 1'123'456);  // finer digits are dropped
  EXPECT_EQ(us("1970-01-01T02:00:00+02:00"), 0);
  EXPECT_EQ(us("1970-01-01T00:00:00-0130"), 5'400'000'000);
  EXPECT_EQ(us("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(us("1970-01-01T00:00:00+01"), -3'600'000'000);
  for (const char* bad : {"1970-01-01T24:00:00", "1970-01-01T00:60", "1970-01-01T00:00:60",
                          "1970-01-01T00:00:00.", "1970-01-01T", "1970-01-01T00:00+2",
                          "1970-01-01T00:00:00+24:00", "1970-01-01x"}) {
    EXPECT_FALSE(us(bad).has_value()) << bad;
  }
  EXPECT_EQ(parse_timestamp("1970-01-02", TimeUnit::Second, nullptr), 86'400);
  EXPECT_EQ(parse_timestamp("1970-01-01T00:00:00.000000123", TimeUnit::Nano, nullptr), 123);
  EXPECT_EQ(parse_timestamp("2262-04-11T23:47:16.854775807", TimeUnit::Nano, nullptr), kMax64);
  EXPECT_FALSE(parse_timestamp("2262-04-11T23:47:16.854775808", TimeUnit::Nano, nullptr));
  EXPECT_EQ(parse_timestamp("9999-12-31T23:59:59", TimeUnit::Micro, nullptr),
            253'402'300'799'000'000);
  const auto format = std::get<DateFormat>(DateFormat::compile("%m/%d/%y %I:%M %p %z"));
  EXPECT_EQ(parse_timestamp("1/2/70 12:30 AM +0000", TimeUnit::Second, &format),
            86'400 + 30 * 60);
  EXPECT_EQ(parse_timestamp("01/01/70 12:00 pm Z", TimeUnit::Second, &format), 12 * 3600);
  const auto plain = std::get<DateFormat>(DateFormat::compile("%F %T.%f"));
  EXPECT_EQ(parse_timestamp("1970-01-01 00:00:01.25", TimeUnit::Milli, &plain), 1250);
  const auto half = std::get<DateFormat>(DateFormat::compile("%H %p"));
  EXPECT_FALSE(parse_timestamp("10 am", TimeUnit::Second, &half).has_value());
}

}  // namespace
}  // namespace varnex::values
