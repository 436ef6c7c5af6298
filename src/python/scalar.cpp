// Scalar classification and lenient numeric readings of item text.
#include "python/scalar.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "path/number.hpp"
#include "python/utf8.hpp"

namespace varnex::python {

std::optional<int64_t> parse_int64(std::string_view text) noexcept {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulate as a negative number so that INT64_MIN fits.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < kMin / 10 || value * 10 < kMin + digit) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return std::nullopt;
    value = -value;
  }
  return value;
}

Scalar classify_scalar(std::string_view text) noexcept {
  if (auto i = parse_int64(text)) return *i;
  if (auto f = path::parse_decimal(text)) return *f;
  return ScalarText{text};
}

int64_t lenient_int(std::string_view bytes) noexcept {
  const std::string_view text = path::trim_unicode_ws(lenient_utf8(bytes));
  if (text.empty()) return 0;
  if (auto i = parse_int64(text)) return *i;
  const auto f = path::parse_decimal(text);
  if (!f || std::isnan(*f)) return 0;
  // 2^63 is exact as a double; anything at or beyond it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (*f >= kLimit) return std::numeric_limits<int64_t>::max();
  if (*f <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(*f);  // truncates toward zero
}

double lenient_float(std::string_view bytes) noexcept {
  const std::string_view text = path::trim_unicode_ws(lenient_utf8(bytes));
  return path::parse_decimal(text).value_or(0.0);
}

bool lenient_bool(std::string_view bytes) noexcept {
  static constexpr std::array<std::string_view, 8> kTrue = {
      "1", "true", "\"1\"", "\"t\"", "\"T\"", "\"true\"", "\"True\"", "\"TRUE\""};
  static constexpr std::array<std::string_view, 8> kFalse = {
      "0", "false", "\"0\"", "\"f\"", "\"F\"", "\"false\"", "\"False\"", "\"FALSE\""};
  const std::string_view text = lenient_utf8(bytes);
  for (auto word : kTrue)
    if (text == word) return true;
  for (auto word : kFalse)
    if (text == word) return false;
  return lenient_int(bytes) != 0;
}

}  // namespace varnex::python
