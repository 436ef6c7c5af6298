// Texts read as typed values: integers, floats, booleans, exact decimals, dates and times.
// Each reader takes the whole (already trimmed) text and gives nothing when it does not fit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace varnex::values {

// 128-bit integers, which GCC and Clang both have (as an extension of the language).
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// An optional sign and decimal digits, nothing else, within [min, max].
[[nodiscard]] std::optional<int64_t> parse_int(std::string_view text, int64_t min,
                                               int64_t max) noexcept;
[[nodiscard]] std::optional<uint64_t> parse_uint(std::string_view text, uint64_t max) noexcept;

// Decimal numbers as filter values read them (inf and nan included), correctly rounded.
[[nodiscard]] std::optional<double> parse_float64(std::string_view text) noexcept;
[[nodiscard]] std::optional<float> parse_float32(std::string_view text) noexcept;

// true, false, 1 or 0, in any case.
[[nodiscard]] std::optional<bool> parse_bool(std::string_view text) noexcept;
// The words only: what a discovery of types calls a boolean (1 and 0 are integers there).
[[nodiscard]] bool is_bool_word(std::string_view text) noexcept;

// A decimal number read exactly as an integer count of 10^-scale: at most `precision`
// digits, and no digit below the scale other than 0 (no rounding). 1 <= precision <= 38.
[[nodiscard]] std::optional<Int128> parse_decimal128(std::string_view text, int precision,
                                                     int scale) noexcept;
// `value` * 10^-scale written out in full: "-12.50".
[[nodiscard]] std::string format_decimal128(Int128 value, int scale);

// What a single text is as a Python-like scalar: an integer (in the signed 64-bit range), then
// a float, else the text itself; the whole text must match.
struct ScalarText {
  std::string_view text;
};
using Scalar = std::variant<int64_t, double, ScalarText>;
[[nodiscard]] Scalar classify_scalar(std::string_view text) noexcept;

// Lenient readings of one item's (undecoded, untrimmed) text bytes, which never fail: text that
// is not UTF-8 reads as the empty text, which is 0; a float is truncated toward zero and
// saturates at the 64-bit range.
[[nodiscard]] int64_t lenient_int(std::string_view bytes) noexcept;
[[nodiscard]] double lenient_float(std::string_view bytes) noexcept;
// The truth table of single texts; falls back to lenient_int != 0.
[[nodiscard]] bool lenient_bool(std::string_view bytes) noexcept;

enum class TimeUnit : uint8_t { Second, Milli, Micro, Nano };

// A strptime-like format: %Y %y %m %d %j %H %I %p %M %S %f %z %b %B %a %A %F %T %%, other
// bytes literally, a space for any run of white space (none included).
class DateFormat {
 public:
  // The format, or the message saying what is wrong with it.
  [[nodiscard]] static std::variant<DateFormat, std::string> compile(std::string_view text);

  struct Token {
    char directive = 0;  // 0: the literal `byte`; ' ': white space
    char byte = 0;
  };
  [[nodiscard]] const std::vector<Token>& tokens() const noexcept { return tokens_; }

 private:
  std::vector<Token> tokens_;
};

// A calendar date as days since 1970-01-01: ISO 8601 `YYYY-MM-DD`, or `format`.
[[nodiscard]] std::optional<int32_t> parse_date(std::string_view text,
                                                const DateFormat* format) noexcept;
// A moment as a count of `unit` since 1970-01-01T00:00:00 UTC: ISO 8601
// `YYYY-MM-DD[(T| )hh[:mm[:ss[.fraction]]]][Z|+hh[:mm]|-hh[:mm]]`, or `format`. A moment with
// a zone offset is moved to UTC, one without is taken as written; digits finer than the unit
// are dropped.
[[nodiscard]] std::optional<int64_t> parse_timestamp(std::string_view text, TimeUnit unit,
                                                     const DateFormat* format) noexcept;

// Days since 1970-01-01 of a proleptic Gregorian date.
[[nodiscard]] int64_t days_from_civil(int64_t year, unsigned month, unsigned day) noexcept;

}  // namespace varnex::values
