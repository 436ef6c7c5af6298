// The text of a numeric aggregate: integers below 10^15 as integers, else shortest round-trip.
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
  // The largest fixed form (DBL_MAX, or the smallest subnormal) fits in a few hundred bytes.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (res.ec != std::errc{}) return "nan";  // cannot happen with this buffer
  return std::string(buf, res.ptr);
}

}  // namespace varnex::engine
