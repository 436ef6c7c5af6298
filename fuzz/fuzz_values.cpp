// Reads arbitrary bytes as every typed value; what reads back agrees with itself. Must never
// crash. The first byte picks a precision and scale, a time unit and one of a few formats.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "path/number.hpp"
#include "path/shape.hpp"
#include "values/values.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace varnex::values;
  if (size == 0) return 0;
  const uint8_t pick = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // Integers: a value reads back from its own digits, and fits every wider range.
  if (const auto i = parse_int(text, INT32_MIN, INT32_MAX)) {
    if (parse_int(std::to_string(*i), INT32_MIN, INT32_MAX) != i) __builtin_trap();
    if (parse_int(text, INT64_MIN, INT64_MAX) != i) __builtin_trap();
  }
  if (const auto u = parse_uint(text, UINT64_MAX)) {
    if (parse_uint(std::to_string(*u), UINT64_MAX) != u) __builtin_trap();
  }
  // A float32 is the double rounded once more, or both are NaN.
  const auto f = parse_float32(text);
  const auto d = parse_float64(text);
  if (f.has_value() != d.has_value()) __builtin_trap();
  if (f && !std::isnan(*d) && std::fabs(*d) <= std::numeric_limits<float>::max() &&
      std::fabs(static_cast<double>(*f) - *d) > std::fabs(*d) * 1e-7 + 1.5e-45) {
    __builtin_trap();
  }
  if (f && std::isnan(*f) != std::isnan(*d)) __builtin_trap();
  // An exact decimal reads back from its own text, and every decimal is a number.
  const int precision = 1 + pick % 38;
  const int scale = (pick / 38) % (precision + 1);
  if (const auto v = parse_decimal128(text, precision, scale)) {
    const std::string written = format_decimal128(*v, scale);
    if (parse_decimal128(written, precision, scale) != v) __builtin_trap();
    if (!varnex::path::parse_decimal(text)) __builtin_trap();
  }
  (void)parse_bool(text);
  // Dates and moments, ISO and by format: a date is the moment of its midnight.
  const auto unit = static_cast<TimeUnit>(pick % 4);
  static const char* const kFormats[] = {"%Y-%m-%d", "%d/%m/%y %I:%M %p", "%j %Y %H%M%S.%f",
                                         "%a %d %b %Y %T %z", "%F"};
  const auto format = std::get<DateFormat>(DateFormat::compile(kFormats[pick % 5]));
  if (const auto day = parse_date(text, &format)) {
    const auto moment = parse_timestamp(text, TimeUnit::Second, &format);
    if (moment && pick % 5 == 0 && *moment != int64_t{*day} * 86'400) __builtin_trap();
  }
  (void)parse_timestamp(text, unit, &format);
  if (const auto day = parse_date(text, nullptr)) {
    if (text.size() == 10 &&
        parse_timestamp(text, TimeUnit::Second, nullptr) != int64_t{*day} * 86'400) {
      __builtin_trap();
    }
  }
  (void)parse_timestamp(text, unit, nullptr);
  // The same bytes as a strptime format, and as an element name.
  (void)DateFormat::compile(text);
  (void)varnex::path::escape_name(text);
  return 0;
}
