// The vectorised scanners of the reader's rules against byte-at-a-time references, across
// vector boundaries, with both kinds of quote and bytes that only look like ws.
#include "xml/markup.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace varnex::xml::detail {
namespace {

const char* reference_tag_end(const char* p, const char* end) {
  char quote = 0;
  for (; p < end; ++p) {
    if (quote != 0) {
      if (*p == quote) quote = 0;
    } else if (*p == '>') {
      return p;
    } else if (*p == '"' || *p == '\'') {
      quote = *p;
    }
  }
  return nullptr;
}

size_t reference_name_length(const char* p, size_t n) {
  size_t i = 0;
  while (i < n && !(p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\r')) ++i;
  return i;
}

TEST(Markup, TagEndMatchesReference) {
  std::mt19937 rng(7);
  // Weighted so that quotes of both kinds and '>' fall on every side of the
  // 16- and 32-byte boundaries.
  static const char kAlphabet[] = "aaaaaaaa\"\"''>  =/";
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::uniform_int_distribution<size_t> length(0, 150);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string s(length(rng), 'a');
    for (char& c : s) c = kAlphabet[pick(rng)];
    const char* end = s.data() + s.size();
    for (size_t from = 0; from <= s.size(); from += 1 + iter % 5) {
      ASSERT_EQ(find_tag_end(s.data() + from, end), reference_tag_end(s.data() + from, end))
          << s << " from " << from;
    }
  }
}

TEST(Markup, NameLengthMatchesReference) {
  std::mt19937 rng(11);
  static const char kAlphabet[] = "abcdefgh \t\n\r\x01\x0b\x1f\x20\x21\x80\xff";
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::uniform_int_distribution<size_t> length(0, 40);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string s(length(rng), 'a');
    for (char& c : s) c = kAlphabet[pick(rng)];
    const size_t padding = iter % 3 == 0 ? 0 : 20;  // with and without room for a vector
    const std::string buf = s + std::string(padding, ' ');
    ASSERT_EQ(name_length(buf.data(), s.size(), buf.size()),
              reference_name_length(s.data(), s.size()))
        << s;
  }
}

TEST(Markup, FindByteAcrossTheFirstVector) {
  const std::string s = std::string(40, 'x') + "<" + std::string(3, 'y');
  for (size_t from = 0; from <= s.size(); ++from) {
    const char* hit = find_byte(s.data() + from, s.data() + s.size(), '<');
    if (from <= 40) {
      ASSERT_EQ(hit, s.data() + 40) << from;
    } else {
      ASSERT_EQ(hit, nullptr) << from;
    }
  }
}

}  // namespace
}  // namespace varnex::xml::detail
