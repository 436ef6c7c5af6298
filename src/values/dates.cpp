// Dates and moments: ISO 8601 as XML writes them (xs:date, xs:dateTime), or a strptime format.
#include <array>
#include <limits>

#include "values/values.hpp"

namespace varnex::values {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;
constexpr std::array<std::string_view, 12> kMonths = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december"};
constexpr std::array<std::string_view, 7> kWeekdays = {
    "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
char lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// What a text says, field by field; unset fields take their defaults.
struct Moment {
  int64_t year = 1970;
  int month = 1;
  int day = 1;
  int yday = 0;  // %j: 1..366, overrides month and day
  int hour = 0;
  int minute = 0;
  int second = 0;
  int64_t nanos = 0;
  int pm = -1;          // %p: 0 am, 1 pm
  bool twelve = false;  // %I: hour is 1..12
  bool has_offset = false;
  int offset_minutes = 0;
};

// Reads the text left to right; every reader moves `at` on success.
class Cursor {
 public:
  explicit Cursor(std::string_view text) noexcept : text_(text) {}
  [[nodiscard]] bool done() const noexcept { return at_ == text_.size(); }
  [[nodiscard]] char peek() const noexcept { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool take(char c) noexcept {
    if (peek() != c || done()) return false;
    ++at_;
    return true;
  }
  // Between `min` and `max` digits, as many as there are.
  bool digits(size_t min, size_t max, int64_t& out) noexcept {
    size_t n = 0;
    int64_t value = 0;
    while (n < max && at_ + n < text_.size() && is_digit(text_[at_ + n])) {
      value = value * 10 + (text_[at_ + n] - '0');
      ++n;
    }
    if (n < min) return false;
    at_ += n;
    out = value;
    return true;
  }
  bool digits(size_t min, size_t max, int& out) noexcept {
    int64_t wide = 0;
    if (!digits(min, max, wide)) return false;
    out = static_cast<int>(wide);
    return true;
  }
  // A fraction's digits as nanoseconds; digits past the ninth are read and dropped.
  bool fraction(int64_t& nanos) noexcept {
    size_t n = 0;
    int64_t value = 0;
    while (at_ < text_.size() && is_digit(text_[at_])) {
      if (n < 9) value = value * 10 + (text_[at_] - '0');
      ++n;
      ++at_;
    }
    if (n == 0) return false;
    for (size_t i = n; i < 9; ++i) value *= 10;
    nanos = value;
    return true;
  }
  void spaces() noexcept {
    while (at_ < text_.size() && is_space(text_[at_])) ++at_;
  }
  // One of `words`, whole or as its first three letters, in any case: its index.
  template <size_t N>
  bool word(const std::array<std::string_view, N>& words, int& out) noexcept {
    for (size_t w = 0; w < N; ++w) {
      for (const size_t len : {words[w].size(), size_t{3}}) {
        if (at_ + len > text_.size()) continue;
        bool same = true;
        for (size_t i = 0; i < len && same; ++i) same = lower(text_[at_ + i]) == words[w][i];
        if (same) {
          at_ += len;
          out = static_cast<int>(w);
          return true;
        }
      }
    }
    return false;
  }
  // Z, or a sign and hh, hh:mm or hhmm.
  bool offset(Moment& m) noexcept {
    if (take('Z') || take('z')) {
      m.has_offset = true;
      m.offset_minutes = 0;
      return true;
    }
    const char sign = peek();
    if (sign != '+' && sign != '-') return false;
    ++at_;
    int hours = 0;
    int minutes = 0;
    if (!digits(2, 2, hours)) return false;
    if (take(':')) {
      if (!digits(2, 2, minutes)) return false;
    } else if (is_digit(peek())) {
      if (!digits(2, 2, minutes)) return false;
    }
    if (hours > 23 || minutes > 59) return false;
    m.has_offset = true;
    m.offset_minutes = (sign == '-' ? -1 : 1) * (hours * 60 + minutes);
    return true;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

// YYYY-MM-DD
bool iso_date(Cursor& c, Moment& m) noexcept {
  return c.digits(4, 4, m.year) && c.take('-') && c.digits(2, 2, m.month) && c.take('-') &&
         c.digits(2, 2, m.day);
}

// [(T| )hh[:mm[:ss[.fraction]]]][offset], after a date.
bool iso_time(Cursor& c, Moment& m) noexcept {
  if (c.done()) return true;
  if (c.take('T') || c.take('t') || c.take(' ')) {
    if (!c.digits(2, 2, m.hour)) return false;
    if (c.take(':')) {
      if (!c.digits(2, 2, m.minute)) return false;
      if (c.take(':')) {
        if (!c.digits(2, 2, m.second)) return false;
        if ((c.take('.') || c.take(',')) && !c.fraction(m.nanos)) return false;
      }
    }
  }
  if (!c.done() && !c.offset(m)) return false;
  return c.done();
}

// A date's optional zone (xs:date allows one), which a calendar date does not keep.
bool iso_zone(Cursor& c, Moment& m) noexcept { return c.done() || (c.offset(m) && c.done()); }

bool by_format(Cursor& c, const DateFormat& format, Moment& m) noexcept {
  for (const DateFormat::Token& t : format.tokens()) {
    bool ok = true;
    int ignored = 0;
    switch (t.directive) {
      case 0: ok = c.take(t.byte); break;
      case ' ': c.spaces(); break;
      case 'Y': ok = c.digits(4, 4, m.year); break;
      case 'y': {
        int two = 0;
        ok = c.digits(2, 2, two);
        m.year = two < 69 ? 2000 + two : 1900 + two;  // as POSIX strptime reads it
        break;
      }
      case 'm': ok = c.digits(1, 2, m.month); break;
      case 'd': ok = c.digits(1, 2, m.day); break;
      case 'j': ok = c.digits(1, 3, m.yday) && m.yday >= 1; break;
      case 'H': ok = c.digits(1, 2, m.hour); break;
      case 'I':
        ok = c.digits(1, 2, m.hour) && m.hour >= 1 && m.hour <= 12;
        m.twelve = true;
        break;
      case 'p': {
        static constexpr std::array<std::string_view, 2> kHalves = {"am", "pm"};
        ok = c.word(kHalves, m.pm);
        break;
      }
      case 'M': ok = c.digits(1, 2, m.minute); break;
      case 'S': ok = c.digits(1, 2, m.second); break;
      case 'f': ok = c.fraction(m.nanos); break;
      case 'z': ok = c.offset(m); break;
      case 'b':
      case 'B':
        ok = c.word(kMonths, m.month);
        ++m.month;
        break;
      case 'a':
      case 'A': ok = c.word(kWeekdays, ignored); break;
      default: ok = false; break;
    }
    if (!ok) return false;
  }
  if (!c.done()) return false;
  if (m.twelve) {
    if (m.pm >= 0) m.hour = m.hour % 12 + (m.pm == 1 ? 12 : 0);
  } else if (m.pm >= 0) {
    return false;  // %p means something only beside %I
  }
  return true;
}

bool is_leap(int64_t year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int64_t year, int month) noexcept {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[static_cast<size_t>(month - 1)];
}

// The days of a checked moment's date; nothing for a date or time that does not exist.
std::optional<int64_t> checked_days(Moment& m) noexcept {
  if (m.hour > 23 || m.minute > 59 || m.second > 59) return std::nullopt;
  if (m.yday != 0) {
    if (m.yday > (is_leap(m.year) ? 366 : 365)) return std::nullopt;
    return days_from_civil(m.year, 1, 1) + m.yday - 1;
  }
  if (m.month < 1 || m.month > 12 || m.day < 1 || m.day > days_in_month(m.year, m.month)) {
    return std::nullopt;
  }
  return days_from_civil(m.year, static_cast<unsigned>(m.month), static_cast<unsigned>(m.day));
}

std::optional<Moment> read_moment(std::string_view text, const DateFormat* format,
                                  bool with_time) noexcept {
  Moment m;
  Cursor c(text);
  if (format != nullptr) {
    if (!by_format(c, *format, m)) return std::nullopt;
  } else if (!iso_date(c, m) || !(with_time ? iso_time(c, m) : iso_zone(c, m))) {
    return std::nullopt;
  }
  return m;
}

}  // namespace

std::variant<DateFormat, std::string> DateFormat::compile(std::string_view text) {
  static constexpr std::string_view kDirectives = "YymdjHIpMSfzbBaA";
  DateFormat format;
  if (text.empty()) return std::string("format is empty");
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (is_space(c)) {
      if (format.tokens_.empty() || format.tokens_.back().directive != ' ') {
        format.tokens_.push_back(Token{' ', 0});
      }
      continue;
    }
    if (c != '%') {
      format.tokens_.push_back(Token{0, c});
      continue;
    }
    if (++i == text.size()) return std::string("format ends in a lone %");
    const char d = text[i];
    if (d == '%') {
      format.tokens_.push_back(Token{0, '%'});
    } else if (d == 'F') {
      for (const char part : std::string_view("Y-m-d")) {
        format.tokens_.push_back(part == '-' ? Token{0, '-'} : Token{part, 0});
      }
    } else if (d == 'T') {
      for (const char part : std::string_view("H:M:S")) {
        format.tokens_.push_back(part == ':' ? Token{0, ':'} : Token{part, 0});
      }
    } else if (kDirectives.find(d) != std::string_view::npos) {
      format.tokens_.push_back(Token{d, 0});
    } else {
      return std::string("unknown directive %").append(1, d).append(" in format");
    }
  }
  return format;
}

int64_t days_from_civil(int64_t year, unsigned month, unsigned day) noexcept {
  // Counted in 400-year eras that start on March 1st, so a leap day ends its year.
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + static_cast<int64_t>(doe) - 719'468;
}

std::optional<int32_t> parse_date(std::string_view text, const DateFormat* format) noexcept {
  auto m = read_moment(text, format, false);
  if (!m) return std::nullopt;
  const auto days = checked_days(*m);
  if (!days) return std::nullopt;
  return static_cast<int32_t>(*days);  // four-digit years stay far inside 32 bits
}

std::optional<int64_t> parse_timestamp(std::string_view text, TimeUnit unit,
                                       const DateFormat* format) noexcept {
  auto m = read_moment(text, format, true);
  if (!m) return std::nullopt;
  const auto days = checked_days(*m);
  if (!days) return std::nullopt;
  const int64_t seconds = *days * kSecondsPerDay + m->hour * 3600 + m->minute * 60 + m->second -
                          (m->has_offset ? m->offset_minutes * 60 : 0);
  // Years 0000..9999 in nanoseconds pass 2^63: those out of range do not fit the unit.
  int64_t per_second = 1;
  int64_t sub = 0;
  switch (unit) {
    case TimeUnit::Second: break;
    case TimeUnit::Milli:
      per_second = 1'000;
      sub = m->nanos / 1'000'000;
      break;
    case TimeUnit::Micro:
      per_second = 1'000'000;
      sub = m->nanos / 1'000;
      break;
    case TimeUnit::Nano:
      per_second = 1'000'000'000;
      sub = m->nanos;
      break;
  }
  int64_t scaled = 0;
  if (__builtin_mul_overflow(seconds, per_second, &scaled) ||
      __builtin_add_overflow(scaled, sub, &scaled)) {
    return std::nullopt;
  }
  return scaled;
}

}  // namespace varnex::values
