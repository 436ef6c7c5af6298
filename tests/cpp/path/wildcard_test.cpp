// Name patterns: escapes, exact and glob matching, prefixes, raw tag bytes.
#include <gtest/gtest.h>

#include <string>

#include "path/wildcard.hpp"

namespace varnex::path {
namespace {

struct Match {
  const char* pattern;
  const char* qualified;
  const char* local;
  bool expected;
};

class Matches : public testing::TestWithParam<Match> {};

TEST_P(Matches, TextAndBytesAgree) {
  const NameMatcher m = NameMatcher::parse(GetParam().pattern);
  EXPECT_EQ(m.matches(GetParam().qualified, GetParam().local), GetParam().expected);
  EXPECT_EQ(m.matches_bytes(GetParam().qualified, GetParam().local), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, Matches, testing::Values(
    Match{"book", "x:book", "book", true}, Match{"x:book", "x:book", "book", true},
    Match{"x:book", "book", "book", false}, Match{"*", "x:book", "book", true},
    Match{"*:*", "x:book", "book", true}, Match{"*:*", "book", "book", false},
    Match{"ns:*", "nsx:a", "a", false},
    Match{"x*", "x:book", "book", false}));

// A backslash makes the next character literal; an exact name drops a trailing one.
INSTANTIATE_TEST_SUITE_P(Escapes, Matches, testing::Values(
    Match{"a\\*", "a*", "a*", true}, Match{"a\\*", "ab", "ab", false},
    Match{"\\?\\*", "?*", "?*", true}, Match{"a\\", "a", "a", true},
    Match{"a\\\\", "a\\", "a\\", true}, Match{"a\\\\*", "a\\bc", "a\\bc", true},
    Match{"a\\:b", "a:b", "b", true},
    Match{"a\\:b", "b", "b", false}));

INSTANTIATE_TEST_SUITE_P(Globs, Matches, testing::Values(
    Match{"b*k", "bk", "bk", true}, Match{"b*k", "books", "books", false},
    Match{"a\\**", "a*bc", "a*bc", true}, Match{"a\\**", "abc", "abc", false},
    Match{"a?\\", "ab\\", "ab\\", true}, Match{"**", "", "", true},
    Match{"?", "", "", false}, Match{"*a*b", "xaxxbx", "xaxxbx", false},
    Match{"a*b*c", "abcbc", "abcbc", true}, Match{"*ab", "aab", "aab", true},
    // Characters, not bytes: '?' takes a whole code point.
    Match{"\xC3\xA9?", "\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC", true},
    Match{"?", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", true},
    Match{"??", "\xC3\xA9", "\xC3\xA9", false}));

TEST(MatchesBytes, InvalidUtf8IsTheEmptyNameForGlobs) {
  const struct {
    std::string pattern, qualified, local;
    bool expected;
  } cases[] = {
      {"*", "\xFF", "\xFF", true}, {"?", "\xFF", "\xFF", false}, {"a*", "a\xFF", "a\xFF", false},
      {"*", "\xED\xA0\x80", "\xED\xA0\x80", true},                // surrogate
      {"?*", "\xC0\xAF", "\xC0\xAF", false},                        // overlong
      {"?*", "\xF4\x90\x80\x80", "\xF4\x90\x80\x80", false},    // above U+10FFFF
      // Only the chosen subject is read: a bad prefix does not spoil a local-name match.
      {"b*", "\xFF:book", "book", true}, {"*:b*", "\xFF:book", "book", false},
      // Exact names compare raw bytes, valid or not.
      {"a\xFF", "a\xFF", "a\xFF", true},
      {"ab", std::string("ab\0", 3), std::string("ab\0", 3), false}};
  for (const auto& c : cases) {
    EXPECT_EQ(NameMatcher::parse(c.pattern).matches_bytes(c.qualified, c.local), c.expected)
        << c.pattern << " " << c.qualified;
  }
}

TEST(GlobMatch, HostilePatternsFinish) {
  const std::string text(100 * 1024, 'a');
  EXPECT_FALSE(glob_match("*a*a*a*a*a*b", text));
  EXPECT_TRUE(glob_match("*a*a*a*a*a*a", text));
  const std::string almost = text + "c";
  EXPECT_FALSE(glob_match("*a*a*a*a*ab*", almost));
  EXPECT_TRUE(glob_match("*a*a*a*a*ac*", almost));
  std::string stars(10000, '*');
  EXPECT_TRUE(glob_match(stars, text));
  EXPECT_FALSE(glob_match(stars + "b", text));
}

}  // namespace
}  // namespace varnex::path
