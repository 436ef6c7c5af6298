// Filter tests: the comparison table, the subject rule and the attribute test.
#include <cstdint>
#include <cstring>

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "path/number.hpp"
#include "path/wildcard.hpp"
#include "xml/encoding.hpp"

namespace varnex::engine {

namespace {

using path::CompareOp;
using path::FilterValue;

// 10^0 .. 10^22: every one a double exactly.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A plain decimal (digits with at most one point, at most 15 digits), the usual subject of an
// ordering filter, without the general parse: its digits make an integer a double holds
// exactly, and one division by an exact power of ten rounds once, as the general parse does.
std::optional<double> parse_plain(std::string_view text) noexcept {
  if (text.empty() || text.size() > 16) return std::nullopt;
  uint64_t digits = 0;
  size_t count = 0;
  size_t point = text.size();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digits = digits * 10 + static_cast<uint64_t>(c - '0');
      ++count;
    } else if (c == '.' && point == text.size()) {
      point = i;
    } else {
      return std::nullopt;
    }
  }
  if (count == 0 || count > 15) return std::nullopt;
  const size_t fraction = point == text.size() ? 0 : text.size() - point - 1;
  return static_cast<double>(digits) / kPowersOfTen[fraction];
}

std::optional<double> parse_trimmed(std::string_view text) {
  if (const auto plain = parse_plain(text)) return plain;
  return path::parse_decimal(path::trim_unicode_ws(text));
}

bool ordered(double a, CompareOp op, double b) {
  switch (op) {
    case CompareOp::Lt: return a < b;
    case CompareOp::Le: return a <= b;
    case CompareOp::Gt: return a > b;
    case CompareOp::Ge: return a >= b;
    default: return false;
  }
}

bool equals(std::string_view subject, const FilterValue& value) {
  switch (value.kind) {
    case FilterValue::Kind::Number: {
      const auto n = parse_trimmed(subject);
      return n && *n == value.number;
    }
    case FilterValue::Kind::Str: return subject == std::string_view(value.str);
    case FilterValue::Kind::Bool:
      return subject == (value.boolean ? std::string_view("true") : std::string_view("false"));
  }
  return false;
}

bool like(std::string_view subject, const FilterValue& value) {
  const path::NameMatcher m = path::NameMatcher::parse(value.str);
  return m.matches(subject, subject);
}

}  // namespace

bool compare(std::string_view subject, CompareOp op, const FilterValue& value) {
  switch (op) {
    case CompareOp::Eq: return equals(subject, value);
    case CompareOp::Ne: return !equals(subject, value);
    case CompareOp::Lt:
    case CompareOp::Le:
    case CompareOp::Gt:
    case CompareOp::Ge: {
      double rhs = value.number;
      if (value.kind == FilterValue::Kind::Bool) return false;
      if (value.kind == FilterValue::Kind::Str) {
        const auto n = parse_trimmed(value.str);
        if (!n) return false;
        rhs = *n;
      }
      const auto lhs = parse_trimmed(subject);
      return lhs && ordered(*lhs, op, rhs);
    }
    case CompareOp::Like: return value.kind == FilterValue::Kind::Str && like(subject, value);
    case CompareOp::NotLike: return value.kind == FilterValue::Kind::Str && !like(subject, value);
  }
  return false;
}

namespace {

// Kept out of line: the lookup inlined would cost the usual comparison its lean frame.
template <bool Scoped>
[[gnu::noinline]] bool has_attribute(TagAttributes& attrs, const path::FilterTest& test) {
  return attrs.find_raw<Scoped>(*test.attr, test.path.front().attr_ns).has_value();
}

}  // namespace

template <bool Scoped>
bool attr_filter_holds(TagAttributes& attrs, const path::FilterTest& test) {
  if (test.exists) return has_attribute<Scoped>(attrs, test);
  const path::Namespace& ns = test.path.front().attr_ns;  // read only in a scoped pass
  if (test.op == CompareOp::Eq && test.value.kind == FilterValue::Kind::Str) {
    // The usual key lookup, in every record. Unescaping only shortens a value, so a value
    // written as long as the key is the key only if it is written as the key, and a longer one
    // only if it holds '&'.
    const std::string_view key = test.value.str;
    if (!attrs.may_have_value(key)) return false;  // most records, without a lookup
    const auto raw = attrs.find_raw<Scoped>(*test.attr, ns);
    if (!raw) return false;
    if (raw->size() == key.size()) {
      if (*raw != key) return false;
      if (std::memchr(raw->data(), '&', raw->size()) == nullptr) return xml::is_valid_utf8(*raw);
    } else if (raw->size() < key.size() || std::memchr(raw->data(), '&', raw->size()) == nullptr) {
      return false;
    }
  }
  const auto v = attrs.find<Scoped>(*test.attr, ns);
  return v && xml::is_valid_utf8(*v) && compare(*v, test.op, test.value);
}

template bool attr_filter_holds<false>(TagAttributes&, const path::FilterTest&);
template bool attr_filter_holds<true>(TagAttributes&, const path::FilterTest&);

}  // namespace varnex::engine
