// Documents in other encodings: decoded once to the UTF-8 a pass reads, or read in place.
#include <string>

#include "engine/document.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

const std::string kLatin1Decl = "<?xml version=\"1.0\" encoding=\"latin1\"?>";

// What the Python suite's documents in other encodings do not reach: where detection stops
// looking, and sequences that cannot be decoded. An empty `utf8`: read in place.
TEST(DocumentBytes, DecodedOnceOrReadInPlace) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xEF\xBB\xBF<a>\xFF</a>", ""},
      // A byte-order mark wins over the declaration.
      {"\xEF\xBB\xBF" + kLatin1Decl + "<a>\xC3\xA9</a>", ""},
      {kLatin1Decl + "<a x=\"1\">ascii</a>", ""},
      // Only the prolog counts; a declaration read byte by byte cannot be in UTF-16.
      {"<!-- c --><r>" + kLatin1Decl + "\xE9</r>", ""},
      {"<?xml encoding=\"UTF-16\"?><a>\xC3\xA9</a>", ""},
      {"<!-- c -->" + kLatin1Decl + "<a>\xE9</a>", "<!-- c -->" + kLatin1Decl + "<a>\xC3\xA9</a>"},
      // Undecodable sequences become FF: an unpaired surrogate, an odd last byte, a sequence
      // cut off by the end. The first known label wins.
      {std::string("\xFE\xFF\0<\0a\xD8\0\0>\0z\0", 13), "<a\xFF>z\xFF"},
      {"<?xml encoding=\"bogus\"?><?xml encoding=\"sjis\"?><a>\x82\xA0\x82",
       "<?xml encoding=\"bogus\"?><?xml encoding=\"sjis\"?><a>\xE3\x81\x82\xFF"}};
  for (const auto& [raw, utf8] : cases) {
    Document doc;
    doc.load(raw);
    EXPECT_EQ(doc.is_copy(), !utf8.empty()) << raw;
    if (utf8.empty()) {
      EXPECT_EQ(doc.bytes().data(), raw.data()) << raw;
      EXPECT_EQ(doc.bytes().size(), raw.size()) << raw;
    } else {
      EXPECT_EQ(doc.bytes(), utf8) << raw;
    }
  }
}

}  // namespace
}  // namespace varnex::engine::testing
