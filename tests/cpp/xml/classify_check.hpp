// Shared check: a tag classifier against the byte-at-a-time one, at every offset
// of a random buffer so that each byte falls in every lane.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "xml/scan.hpp"

namespace varnex::xml::detail {

using Classifier = void (*)(const char*, char, TagMarks*);

inline void expect_matches_scalar(Classifier classify, bool with_parities) {
  std::mt19937 rng(3);
  static const char kAlphabet[] = "<>\"'/!?ab \x80\xff";
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string s(200, 'a');
  for (int iter = 0; iter < 200; ++iter) {
    for (char& c : s) c = kAlphabet[pick(rng)];
    const char first = kAlphabet[iter % (sizeof kAlphabet - 1)];
    for (size_t at = 0; at + 64 <= s.size(); ++at) {
      TagMarks got, want;
      classify(s.data() + at, first, &got);
      classify_tags_scalar(s.data() + at, first, &want);
      ASSERT_EQ(got.lt, want.lt) << at;
      ASSERT_EQ(got.gt, want.gt) << at;
      ASSERT_EQ(got.dq, want.dq) << at;
      ASSERT_EQ(got.sq, want.sq) << at;
      ASSERT_EQ(got.slash, want.slash) << at;
      ASSERT_EQ(got.special, want.special) << at;
      ASSERT_EQ(got.first, want.first) << at;
      if (!with_parities) continue;
      ASSERT_EQ(got.quote_parity, want.quote_parity) << at;
      ASSERT_EQ(got.dq_parity, want.dq_parity) << at;
      ASSERT_EQ(got.sq_parity, want.sq_parity) << at;
      ASSERT_EQ(got.tag_parity, want.tag_parity) << at;
      ASSERT_EQ(got.tag_parity_quoted, want.tag_parity_quoted) << at;
    }
  }
}

}  // namespace varnex::xml::detail
