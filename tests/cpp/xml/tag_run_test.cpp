// The two tag-run loops and their classifiers agree: the wider one at every
// offset of a buffer and on documents where runs stop for every reason.
#include "xml/tag_run.hpp"

#include "classify_check.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace varnex::xml::detail {
namespace {

#if defined(VARNEX_XML_HAS_AVX2_PATH)

TEST(TagRun, Avx2ClassifierMatchesScalar) {
  if (!avx2_usable()) GTEST_SKIP() << "no AVX2 here";
  expect_matches_scalar(classify_tags_avx2, /*with_parities=*/true);
}

// Tag soup with the pieces that stop a run; each run starts in text.
TEST(TagRun, PortableAndAvx2RunsAgree) {
  if (!avx2_usable()) GTEST_SKIP() << "no AVX2 here";
  static const char* const kPieces[] = {
      "<item id=\"1\" k='v'>", "</item>", "<p/>", "</p\t>", "text", "<w x='\"'>", "it's", "\"",
      "<!-- c -->", "<?p?>", "<a<b>", ">", "</x/>", "<bb>", "</bb>",
      // Longer than a block.
      "<long v='0123456789012345678901234567890123456789012345678901234567890123456789'>"};
  std::mt19937 rng(99);
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  for (int iter = 0; iter < 3000; ++iter) {
    std::string doc;
    const int pieces = 20 + static_cast<int>(rng() % 200);
    for (int i = 0; i < pieces; ++i) doc += kPieces[pick(rng)];
    const size_t open = rng() % 6;
    for (size_t at = 0; at + 128 <= doc.size(); at += 1 + rng() % 40) {
      const TagRunEnd a = run_tags_portable(doc.data(), doc.size(), at, open, 'b');
      const TagRunEnd b = run_tags_avx2(doc.data(), doc.size(), at, open, 'b');
      ASSERT_EQ(a.pos, b.pos) << doc << " at " << at;
      ASSERT_EQ(a.open, b.open) << doc << " at " << at;
      ASSERT_EQ(a.resume, b.resume) << doc << " at " << at;
    }
  }
}

#endif

}  // namespace
}  // namespace varnex::xml::detail
