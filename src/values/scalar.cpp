// The lenient readings of item text, which never fail.
#include <array>
#include <cmath>
#include <limits>

#include "base/utf8.hpp"
#include "path/number.hpp"
#include "values/values.hpp"

namespace varnex::values {
namespace {

// Invalid UTF-8 counts as the empty text.
std::string_view lenient_utf8(std::string_view bytes) noexcept {
  return utf8::is_valid(bytes) ? bytes : std::string_view{};
}

}  // namespace

int64_t lenient_int(std::string_view bytes) noexcept {
  const std::string_view text = path::trim_unicode_ws(lenient_utf8(bytes));
  if (text.empty()) return 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (auto i = parse_int(text, kMin, kMax)) return *i;
  const auto f = path::parse_decimal(text);
  if (!f || std::isnan(*f)) return 0;
  // 2^63 is exact as a double; anything at or beyond it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (*f >= kLimit) return kMax;
  if (*f <= -kLimit) return kMin;
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

}  // namespace varnex::values
