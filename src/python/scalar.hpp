// Reading a text as a number: scalar classification and the lenient conversions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace varnex::python {

// Text that is neither an integer nor a float stays a string (the text itself).
struct ScalarText {
  std::string_view text;
};
using Scalar = std::variant<int64_t, double, ScalarText>;

// Optional sign and ASCII digits, within the signed 64-bit range.
[[nodiscard]] std::optional<int64_t> parse_int64(std::string_view text) noexcept;

// Integer, then float, then the text itself; the whole text must match.
[[nodiscard]] Scalar classify_scalar(std::string_view text) noexcept;

// Lenient readings of one item's (undecoded) text bytes; never fail.
[[nodiscard]] int64_t lenient_int(std::string_view bytes) noexcept;
[[nodiscard]] double lenient_float(std::string_view bytes) noexcept;
// The truth table of single texts; falls back to lenient_int != 0.
[[nodiscard]] bool lenient_bool(std::string_view bytes) noexcept;

}  // namespace varnex::python
