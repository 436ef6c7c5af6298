// The decimal number grammar shared by filter values, item numbers and scalar classification.
#pragma once

#include <optional>
#include <string_view>

namespace varnex::path {

// Optional sign, then digits with an optional fraction (either side of the
// point may be empty, not both) and an optional exponent; or inf, infinity,
// nan in any case. The whole text must match; no white space is skipped.
// The value is correctly rounded.
[[nodiscard]] std::optional<double> parse_decimal(std::string_view text) noexcept;

// Trims Unicode White_Space at both ends of UTF-8 text.
[[nodiscard]] std::string_view trim_unicode_ws(std::string_view text) noexcept;

}  // namespace varnex::path
