// The block classifiers against the byte-at-a-time one, and the portable and
// AVX2 block runs against each other on tag soup where runs stop for every
// reason. (Whole skips are compared with the event loop in read_to_end_test.)
#include "xml/blocks.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace varnex::xml::detail {
namespace {

void classify_portable(const char* p, char first, BlockMarks* m) {
  const PortableBlock b(p);
  m->lt = b.lt();
  m->gt = b.gt();
  b.rest(first, m);
}

using Classifier = void (*)(const char*, char, BlockMarks*);

// At every offset of a random buffer, so that each byte falls in every lane.
void expect_matches_scalar(Classifier classify) {
  std::mt19937 rng(3);
  static const char kAlphabet[] = "<>\"'/!?ab \x80\xff";
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string s(200, 'a');
  for (int iter = 0; iter < 200; ++iter) {
    for (char& c : s) c = kAlphabet[pick(rng)];
    const char first = kAlphabet[iter % (sizeof kAlphabet - 1)];
    for (size_t at = 0; at + 64 <= s.size(); ++at) {
      BlockMarks got, want;
      classify(s.data() + at, first, &got);
      classify_scalar(s.data() + at, first, &want);
      ASSERT_EQ(got.lt, want.lt) << at;
      ASSERT_EQ(got.gt, want.gt) << at;
      ASSERT_EQ(got.quote, want.quote) << at;
      ASSERT_EQ(got.dq, want.dq) << at;
      ASSERT_EQ(got.slash, want.slash) << at;
      ASSERT_EQ(got.stopper, want.stopper) << at;
    }
  }
}

TEST(Blocks, PortableClassifierMatchesScalar) { expect_matches_scalar(classify_portable); }

// The first '<' from every offset of long text, with each classifier.
TEST(Blocks, FindLtMatchesMemchr) {
  std::string s(700, 'x');
  for (const size_t at : {0, 63, 64, 65, 200, 511, 640, 698, 699}) s[at] = '<';
  const BlockPath chosen = block_path();
  for (const BlockPath path : {BlockPath::Portable, BlockPath::Avx2}) {
    set_block_path(path);
    for (size_t from = 0; from <= s.size(); ++from) {
      const void* hit = from < s.size() ? std::memchr(s.data() + from, '<', s.size() - from) : nullptr;
      const size_t want =
          hit == nullptr ? static_cast<size_t>(-1) : static_cast<size_t>(static_cast<const char*>(hit) - s.data());
      ASSERT_EQ(find_lt(s.data(), s.size(), from), want) << from;
      if (from <= 650) {
        ASSERT_EQ(find_lt(s.data(), 650, from), want < 650 ? want : static_cast<size_t>(-1)) << from;
      }
    }
  }
  set_block_path(chosen);
}

#if defined(VARNEX_XML_HAS_AVX2_PATH)

TEST(Blocks, Avx2ClassifierMatchesScalar) {
  if (!avx2_usable()) GTEST_SKIP() << "no AVX2 here";
  expect_matches_scalar(classify_avx2);
}

// Tag soup with the pieces that stop a run; each run starts in text.
TEST(Blocks, PortableAndAvx2RunsAgree) {
  if (!avx2_usable()) GTEST_SKIP() << "no AVX2 here";
  static const char* const kPieces[] = {
      "<item id=\"1\" k='v'>", "</item>", "<p/>", "</p\t>", "text", "<w x='\"'>", "it's", "\"",
      "<!-- c -->", "<?p?>", "<a<b>", ">", "</x/>", "<bb>", "</bb>", "</z></z></z>",
      // Longer than a block.
      "<long v='0123456789012345678901234567890123456789012345678901234567890123456789'>",
      "                                                                                "};
  std::mt19937 rng(99);
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  for (int iter = 0; iter < 3000; ++iter) {
    std::string doc;
    const int pieces = 20 + static_cast<int>(rng() % 200);
    for (int i = 0; i < pieces; ++i) doc += kPieces[pick(rng)];
    const size_t open = rng() % 6;
    for (size_t at = 0; at + 64 <= doc.size(); at += 1 + rng() % 40) {
      SkipTarget ta{"bb", true, 0}, tb{"bb", true, 0};
      const BlockRunEnd a = skip_blocks_portable(doc.data(), doc.size(), at, open, &ta);
      const BlockRunEnd b = skip_blocks_avx2(doc.data(), doc.size(), at, open, &tb);
      ASSERT_EQ(a.pos, b.pos) << doc << " at " << at;
      ASSERT_EQ(a.open, b.open) << doc << " at " << at;
      ASSERT_EQ(a.resume, b.resume) << doc << " at " << at;
      ASSERT_EQ(a.end_lt, b.end_lt) << doc << " at " << at;
      ASSERT_EQ(ta.depth, tb.depth) << doc << " at " << at;
    }
  }
}

#endif

}  // namespace
}  // namespace varnex::xml::detail
