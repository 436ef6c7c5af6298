// The text of a numeric aggregate: integers below 10^15 as integers, anything else as the
// shortest digits that read back as the same double, laid out without an exponent.
#include <charconv>
#include <cmath>
#include <cstdint>

#include "engine/engine.hpp"

namespace varnex::engine {

std::string format_number(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (std::fabs(value) < 1e15 && value == std::trunc(value)) {
    // Negative zero converts to 0 here, which is the wanted text.
    return std::to_string(static_cast<int64_t>(value));
  }
  // Shortest round-trip digits as d[.ddd]e±x; 17 digits and a 3-digit exponent at most.
  char buf[40];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (res.ec != std::errc{}) return "nan";  // cannot happen with this buffer
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const size_t e = sci.find('e');
  std::string digits(1, sci.front());
  if (e > 2) digits.append(sci.substr(2, e - 2));  // the digits after the point
  int exponent = 0;
  std::string_view exp_text = sci.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  (void)std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  // The point stands after `point` digits (before them all when not positive).
  const long point = static_cast<long>(exponent) + 1;
  const auto n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point));
  }
  return out;
}

}  // namespace varnex::engine
