// Decimal numbers and Unicode white space.
#include "path/number.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace varnex::path {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

char lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignore_case(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != lower_word[i]) return false;
  }
  return true;
}

// Length in bytes of a White_Space character starting at s[i], or 0. Every such character is
// compared as its exact UTF-8 encoding, so stray bytes never count.
size_t ws_prefix(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (s.size() >= 2 && b0 == 0xC2) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  const auto b2 = static_cast<unsigned char>(s[2]);
  if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
  if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
  if (b0 != 0xE2) return 0;
  if (b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
  }
  return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
}

// Same, for a character ending at the end of s. Lead bytes never occur inside a sequence, so a
// matching tail is a whole character.
size_t ws_suffix(std::string_view s) noexcept {
  for (size_t len = 1; len <= 3 && len <= s.size(); ++len) {
    const std::string_view tail = s.substr(s.size() - len);
    if (ws_prefix(tail) == len) return len;
  }
  return 0;
}

// An ASCII byte that is not ws: no ws character starts or ends with it.
bool ascii_non_ws(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x80 && b != 0x20 && (b < 0x09 || b > 0x0D);
}

}  // namespace

std::string_view trim_unicode_ws_start(std::string_view text) noexcept {
  while (const size_t n = ws_prefix(text)) text.remove_prefix(n);
  return text;
}

std::string_view trim_unicode_ws(std::string_view text) noexcept {
  // Most texts have nothing to trim, which their first and last bytes tell.
  if (text.empty() || (ascii_non_ws(text.front()) && ascii_non_ws(text.back()))) return text;
  text = trim_unicode_ws_start(text);
  while (const size_t n = ws_suffix(text)) text.remove_suffix(n);
  return text;
}

// number = [sign] ( mantissa [exponent] | "inf" | "infinity" | "nan" )
// mantissa = digits ["." [digits]] | "." digits
// exponent = ("e" | "E") [sign] digits
std::optional<DecimalText> scan_decimal(std::string_view text) noexcept {
  DecimalText out;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    out.negative = text[i] == '-';
    ++i;
  }
  const std::string_view body = text.substr(i);
  if (equals_ignore_case(body, "inf") || equals_ignore_case(body, "infinity")) {
    out.special = DecimalText::Special::Infinity;
    return out;
  }
  if (equals_ignore_case(body, "nan")) {
    out.special = DecimalText::Special::NaN;
    return out;
  }
  const size_t int_start = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  out.int_digits = text.substr(int_start, i - int_start);
  if (i < text.size() && text[i] == '.') {
    out.has_point = true;
    const size_t frac_start = ++i;
    while (i < text.size() && is_digit(text[i])) ++i;
    out.frac_digits = text.substr(frac_start, i - frac_start);
  }
  if (out.int_digits.empty() && out.frac_digits.empty()) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    out.has_exponent = true;
    ++i;
    bool exp_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      exp_negative = text[i] == '-';
      ++i;
    }
    if (i == text.size() || !is_digit(text[i])) return std::nullopt;
    while (i < text.size() && is_digit(text[i])) {
      if (out.exponent < 1'000'000'000) out.exponent = out.exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (exp_negative) out.exponent = -out.exponent;
  }
  if (i != text.size()) return std::nullopt;
  return out;
}

std::optional<double> parse_decimal(std::string_view text) noexcept {
  const std::optional<DecimalText> parts = scan_decimal(text);
  if (!parts) return std::nullopt;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  switch (parts->special) {
    case DecimalText::Special::Infinity: return parts->negative ? -kInf : kInf;
    case DecimalText::Special::NaN:
      return std::copysign(std::numeric_limits<double>::quiet_NaN(), parts->negative ? -1.0 : 1.0);
    case DecimalText::Special::None: break;
  }
  // from_chars takes no '+', but does take '-'.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  const char* last = text.data() + text.size();
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Out of range means far from zero either way: where the leading significant digit
    // stands relative to the point says which.
    int64_t leading = INT64_MIN;  // decimal exponent of that digit, plus one
    const size_t in_int = parts->int_digits.find_first_not_of('0');
    if (in_int != std::string_view::npos) {
      leading = static_cast<int64_t>(parts->int_digits.size() - in_int);
    } else if (const size_t in_frac = parts->frac_digits.find_first_not_of('0');
               in_frac != std::string_view::npos) {
      leading = -static_cast<int64_t>(in_frac);
    }
    const bool overflow = leading != INT64_MIN && leading + parts->exponent > 0;
    value = overflow ? kInf : 0.0;
    return parts->negative ? -value : value;
  }
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return value;
}

}  // namespace varnex::path
