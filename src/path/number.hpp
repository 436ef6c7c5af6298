// The decimal number grammar shared by filter values, item numbers and scalar classification.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace varnex::path {

// A decimal number as written, once the grammar below holds: its parts, views into the text.
struct DecimalText {
  enum class Special : uint8_t { None, Infinity, NaN };
  bool negative = false;
  Special special = Special::None;
  std::string_view int_digits;   // before the point; may be empty
  std::string_view frac_digits;  // after it; may be empty, not both
  bool has_point = false;
  bool has_exponent = false;
  int64_t exponent = 0;  // beyond +-10^9 it stops growing: no value cares past that
};

// The grammar of parse_decimal, without the value.
[[nodiscard]] std::optional<DecimalText> scan_decimal(std::string_view text) noexcept;

// Optional sign, then digits with an optional fraction (either side of the
// point may be empty, not both) and an optional exponent; or inf, infinity,
// nan in any case. The whole text must match; no white space is skipped.
// The value is correctly rounded.
[[nodiscard]] std::optional<double> parse_decimal(std::string_view text) noexcept;

// Trims Unicode White_Space at both ends of UTF-8 text, or at its start only.
[[nodiscard]] std::string_view trim_unicode_ws(std::string_view text) noexcept;
[[nodiscard]] std::string_view trim_unicode_ws_start(std::string_view text) noexcept;

}  // namespace varnex::path
