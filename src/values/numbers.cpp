// Integers, floats, booleans and exact decimals, all by the one decimal grammar of the paths.
#include <charconv>
#include <limits>
#include <system_error>

#include "path/number.hpp"
#include "values/values.hpp"

namespace varnex::values {

namespace {

using path::DecimalText;

char lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_word(std::string_view text, std::string_view word) noexcept {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

// The digits of an integer, with no point, exponent or special word: its magnitude.
std::optional<uint64_t> magnitude(const DecimalText& parts) noexcept {
  if (parts.special != DecimalText::Special::None || parts.has_point || parts.has_exponent) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (const char c : parts.int_digits) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

constexpr UInt128 pow10_128(int n) noexcept {
  UInt128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

}  // namespace

namespace {

// The integer `parts` write, when they are one within [min, max].
std::optional<int64_t> int_in_range(const DecimalText& parts, int64_t min, int64_t max) noexcept {
  const auto m = magnitude(parts);
  if (!m) return std::nullopt;
  if (parts.negative) {
    // -(min + 1) + 1 is |min| without overflowing.
    const uint64_t limit = static_cast<uint64_t>(-(min + 1)) + 1;
    if (min > 0 || *m > limit) return std::nullopt;
    if (*m == 0) return 0;
    return -static_cast<int64_t>(*m - 1) - 1;
  }
  if (max < 0 || *m > static_cast<uint64_t>(max)) return std::nullopt;
  return static_cast<int64_t>(*m);
}

}  // namespace

std::optional<int64_t> parse_int(std::string_view text, int64_t min, int64_t max) noexcept {
  const auto parts = path::scan_decimal(text);
  if (!parts) return std::nullopt;
  return int_in_range(*parts, min, max);
}

Scalar classify_scalar(std::string_view text) noexcept {
  const auto parts = path::scan_decimal(text);  // read once: most texts are neither
  if (!parts) return ScalarText{text};
  if (auto i = int_in_range(*parts, std::numeric_limits<int64_t>::min(),
                            std::numeric_limits<int64_t>::max())) {
    return *i;
  }
  if (auto f = path::parse_decimal(text)) return *f;
  return ScalarText{text};
}

std::optional<uint64_t> parse_uint(std::string_view text, uint64_t max) noexcept {
  const auto parts = path::scan_decimal(text);
  if (!parts) return std::nullopt;
  const auto m = magnitude(*parts);
  if (!m || *m > max || (parts->negative && *m != 0)) return std::nullopt;
  return *m;
}

std::optional<double> parse_float64(std::string_view text) noexcept {
  return path::parse_decimal(text);
}

std::optional<float> parse_float32(std::string_view text) noexcept {
  const auto parts = path::scan_decimal(text);
  if (!parts) return std::nullopt;
  if (parts->special != DecimalText::Special::None) {
    // The double says which special, with its sign; a float holds the same.
    const auto wide = path::parse_decimal(text);
    return static_cast<float>(*wide);
  }
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  const char* last = text.data() + text.size();
  float value = 0.0f;
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Rounded from the double, which says overflow or underflow correctly.
    return static_cast<float>(*path::parse_decimal(text));
  }
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return value;
}

std::optional<bool> parse_bool(std::string_view text) noexcept {
  if (text == "1") return true;
  if (text == "0") return false;
  if (equals_word(text, "true")) return true;
  if (equals_word(text, "false")) return false;
  return std::nullopt;
}

bool is_bool_word(std::string_view text) noexcept {
  return equals_word(text, "true") || equals_word(text, "false");
}

std::optional<Int128> parse_decimal128(std::string_view text, int precision, int scale) noexcept {
  const auto parts = path::scan_decimal(text);
  if (!parts || parts->special != DecimalText::Special::None) return std::nullopt;
  // The digits as one run, the point moved by the exponent: value = digits * 10^shift.
  const std::string_view whole = parts->int_digits;
  const std::string_view frac = parts->frac_digits;
  const int64_t shift =
      static_cast<int64_t>(scale) + parts->exponent - static_cast<int64_t>(frac.size());
  const UInt128 limit = pow10_128(precision);
  const size_t total = whole.size() + frac.size();
  // Digits that fall below the scale must be zeros; they are dropped.
  const size_t dropped =
      shift < 0 ? static_cast<size_t>(std::min<int64_t>(-shift, 1'000'000'000)) : 0;
  UInt128 value = 0;
  for (size_t i = 0; i < total; ++i) {
    const char c = i < whole.size() ? whole[i] : frac[i - whole.size()];
    if (i + dropped >= total) {
      if (c != '0') return std::nullopt;
      continue;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value >= limit) return std::nullopt;
  }
  if (shift > 0 && value != 0) {
    // Both limits are powers of ten, so this is exactly value * 10^shift < 10^precision.
    if (shift > precision || value >= pow10_128(precision - static_cast<int>(shift))) {
      return std::nullopt;
    }
    value *= pow10_128(static_cast<int>(shift));
  }
  const auto signed_value = static_cast<Int128>(value);
  return parts->negative ? -signed_value : signed_value;
}

std::string format_decimal128(Int128 value, int scale) {
  const bool negative = value < 0;
  UInt128 magnitude =
      negative ? static_cast<UInt128>(-(value + 1)) + 1 : static_cast<UInt128>(value);
  // Written backwards, from the last digit: 39 digits, a point, a zero before it, a sign.
  char reversed[48];
  size_t n = 0;
  for (int place = 0; magnitude != 0 || place <= scale; ++place) {
    if (place == scale && scale > 0) reversed[n++] = '.';
    reversed[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  }
  if (negative) reversed[n++] = '-';
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return out;
}

}  // namespace varnex::values
