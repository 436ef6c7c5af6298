// Element-name patterns.
#include "path/wildcard.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/utf8.hpp"

namespace varnex::path {

namespace {

// The first '*' or '?' not made inert by a backslash marks a pattern.
bool has_free_wildcard(std::string_view text) noexcept {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      ++i;  // the escaped byte; a trailing backslash just ends the scan
    } else if (c == '*' || c == '?') {
      return true;
    }
  }
  return false;
}

// The unit a glob matches at s[i]: a code point, or a stray byte mapped above the Unicode
// range so that it can only ever equal the same stray byte.
utf8::Decoded unit(std::string_view s, size_t i) noexcept {
  utf8::Decoded d = utf8::decode(s, i);
  if (!d.ok) d.cp = 0x110000 + static_cast<unsigned char>(s[i]);
  return d;
}

}  // namespace

// pattern = { "\\" any | "*" | "?" | any }   (a free "*" or "?" makes it a glob)
NameMatcher NameMatcher::parse(std::string_view text) {
  NameMatcher m;
  m.kind_ = has_free_wildcard(text) ? Kind::Glob : Kind::Exact;
  if (m.kind_ == Kind::Glob || text.find('\\') == std::string_view::npos) {
    m.text_.assign(text);  // globs resolve their escapes while matching
  } else {
    m.text_.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\\') {
        if (++i == text.size()) break;  // a trailing backslash is dropped
      }
      m.text_.push_back(text[i]);
    }
  }
  m.has_colon_ = m.text_.find(':') != std::string::npos;
  std::memcpy(&m.word_, m.text_.data(), std::min<size_t>(m.text_.size(), sizeof m.word_));
  if (m.kind_ == Kind::Exact && !m.text_.empty()) {
    m.tail_bit_ = uint64_t{1} << name_tail(m.text_);
  }
  if (m.kind_ == Kind::Exact && m.text_.size() < sizeof m.word_) {
    m.short_key_ = m.word_ | (uint64_t{0x80} | m.text_.size()) << 56;  // length above the bytes
  }
  if (m.kind_ == Kind::Exact && !m.text_.empty() && m.text_.size() <= sizeof m.word_) {
    m.short_len_ = static_cast<uint8_t>(m.text_.size());
    m.keep_ = m.short_len_ == 8 ? ~0ull : (uint64_t{1} << (8 * m.short_len_)) - 1;
  }
  return m;
}

NameMatcher NameMatcher::parse(std::string_view local, Namespace ns) {
  NameMatcher m = parse(local);
  m.tests_ns_ = !ns.any();
  if (m.tests_ns_) m.short_key_ = 0;  // a word compare cannot tell namespaces apart
  m.ns_ = std::move(ns);
  return m;
}

bool NameMatcher::matches(std::string_view qualified, std::string_view local) const noexcept {
  const std::string_view subject = has_colon_ ? qualified : local;
  if (kind_ == Kind::Exact) return subject == text_;
  return glob_match(text_, subject);
}

bool NameMatcher::matches_bytes(std::string_view qualified, std::string_view local) const noexcept {
  std::string_view subject = has_colon_ ? qualified : local;
  if (kind_ == Kind::Exact) return subject == text_;
  if (!utf8::is_valid(subject)) subject = {};
  return glob_match(text_, subject);
}

// Classic single-star backtracking: only the most recent '*' is retried, so the cost stays
// O(pattern * text) however many stars the pattern holds.
bool glob_match(std::string_view pattern, std::string_view text) noexcept {
  constexpr size_t kNoStar = static_cast<size_t>(-1);
  const size_t pn = pattern.size();
  const size_t tn = text.size();
  size_t p = 0;
  size_t t = 0;
  size_t star_p = kNoStar;
  size_t star_t = 0;
  while (t < tn) {
    if (p < pn && pattern[p] == '*') {
      star_p = p++;
      star_t = t;
      continue;
    }
    const utf8::Decoded tc = unit(text, t);
    if (p < pn) {
      if (pattern[p] == '?') {
        ++p;
        t += tc.len;
        continue;
      }
      if (pattern[p] == '\\' && p + 1 < pn) {
        const utf8::Decoded pc = unit(pattern, p + 1);
        if (pc.cp == tc.cp) {
          p += 1 + pc.len;
          t += tc.len;
          continue;
        }
      } else {
        const utf8::Decoded pc = unit(pattern, p);
        if (pc.cp == tc.cp) {
          p += pc.len;
          t += tc.len;
          continue;
        }
      }
    }
    if (star_p == kNoStar) return false;
    p = star_p + 1;
    star_t += unit(text, star_t).len;
    t = star_t;
  }
  while (p < pn && pattern[p] == '*') ++p;
  return p == pn;
}

}  // namespace varnex::path
