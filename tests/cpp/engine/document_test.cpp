// Documents in other encodings: decoded once to the UTF-8 a pass reads, or read in place.
#include <string>

#include "engine/document.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

const std::string kLatin1Decl = "<?xml version=\"1.0\" encoding=\"latin1\"?>";

struct DecodeCase {
  std::string raw;
  std::string utf8;  // empty: read in place
};
std::ostream& operator<<(std::ostream& os, const DecodeCase& c) { return os << c.raw; }

class DocumentBytes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DocumentBytes, DecodedOnceOrReadInPlace) {
  Document doc;
  doc.load(GetParam().raw);
  if (GetParam().utf8.empty()) {
    EXPECT_FALSE(doc.is_copy());
    EXPECT_EQ(doc.bytes().data(), GetParam().raw.data());
    EXPECT_EQ(doc.bytes().size(), GetParam().raw.size());
  } else {
    EXPECT_TRUE(doc.is_copy());
    EXPECT_EQ(doc.bytes(), GetParam().utf8);
  }
}

// What the Python suite's documents in other encodings do not reach: where detection stops
// looking, and sequences that cannot be decoded.
INSTANTIATE_TEST_SUITE_P(
    Cases, DocumentBytes,
    ::testing::Values(
        DecodeCase{"\xEF\xBB\xBF<a>\xFF</a>", ""},
        DecodeCase{kLatin1Decl + "<a x=\"1\">ascii</a>", ""},
        // Only the prolog counts; a declaration read byte by byte cannot be in UTF-16.
        DecodeCase{"<!-- c --><r>" + kLatin1Decl + "\xE9</r>", ""},
        DecodeCase{"<?xml encoding=\"UTF-16\"?><a>\xC3\xA9</a>", ""},
        DecodeCase{"<!-- c -->" + kLatin1Decl + "<a>\xE9</a>",
                   "<!-- c -->" + kLatin1Decl + "<a>\xC3\xA9</a>"},
        // Undecodable sequences become FF: an unpaired surrogate, an odd last byte, a
        // sequence cut off by the end. The first known label wins.
        DecodeCase{std::string("\xFE\xFF\0<\0a\xD8\0\0>\0z\0", 13), "<a\xFF>z\xFF"},
        DecodeCase{"<?xml encoding=\"bogus\"?><?xml encoding=\"sjis\"?><a>\x82\xA0\x82",
                   "<?xml encoding=\"bogus\"?><?xml encoding=\"sjis\"?><a>\xE3\x81\x82\xFF"}));

}  // namespace
}  // namespace varnex::engine::testing
