// Documents in other encodings: what their bytes announce, and the UTF-8 a pass then reads.
#include <string>

#include "engine/document.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

using xml::Encoding;

struct DetectCase {
  std::string doc;
  Encoding encoding;
  size_t mark;
};
std::ostream& operator<<(std::ostream& os, const DetectCase& c) { return os << c.doc; }

class DetectEncoding : public ::testing::TestWithParam<DetectCase> {};

TEST_P(DetectEncoding, AsTheReaderDoes) {
  const DocumentEncoding found = detect_document_encoding(GetParam().doc);
  EXPECT_EQ(found.encoding, GetParam().encoding);
  EXPECT_EQ(found.mark, GetParam().mark);
}

const std::string kLatin1Decl = "<?xml version=\"1.0\" encoding=\"latin1\"?>";

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectEncoding,
    ::testing::Values(
        DetectCase{"", Encoding::Utf8, 0}, DetectCase{"<r/>", Encoding::Utf8, 0},
        DetectCase{"\xEF\xBB\xBF<r/>", Encoding::Utf8, 3},
        DetectCase{std::string("\xFF\xFE<\0r\0/\0>\0", 10), Encoding::Utf16LE, 2},
        DetectCase{std::string("\xFE\xFF\0<", 4), Encoding::Utf16BE, 2},
        DetectCase{std::string("<\0?\0x\0m\0l\0", 10), Encoding::Utf16LE, 0},
        DetectCase{std::string("\0<\0?\0x\0m\0l", 10), Encoding::Utf16BE, 0},
        DetectCase{kLatin1Decl + "<r/>", Encoding::Windows1252, 0},
        // A UTF-8 mark can be refined; the first known label wins; comments may come first.
        DetectCase{"\xEF\xBB\xBF<?xml encoding='koi8-r'?><r/>", Encoding::Koi8R, 3},
        DetectCase{"<?xml encoding=\"bogus\"?><?xml encoding=\"sjis\"?><r/>", Encoding::ShiftJis, 0},
        DetectCase{"<!-- c -->\n" + kLatin1Decl + "<r/>", Encoding::Windows1252, 0},
        // Only the prolog counts.
        DetectCase{"<r>" + kLatin1Decl + "</r>", Encoding::Utf8, 0},
        // A declaration read byte by byte cannot be in UTF-16.
        DetectCase{"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r/>", Encoding::Utf8, 0}));

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

INSTANTIATE_TEST_SUITE_P(
    Cases, DocumentBytes,
    ::testing::Values(
        DecodeCase{"<a>caf\xC3\xA9</a>", ""}, DecodeCase{"\xEF\xBB\xBF<a>\xFF</a>", ""},
        DecodeCase{kLatin1Decl + "<a x=\"1\">ascii</a>", ""},
        DecodeCase{kLatin1Decl + "<a>caf\xE9</a>", kLatin1Decl + "<a>caf\xC3\xA9</a>"},
        // The mark is not kept: it said how to read the bytes.
        DecodeCase{"\xEF\xBB\xBF<?xml encoding=\"latin1\"?><a>\xE9</a>",
                   "<?xml encoding=\"latin1\"?><a>\xC3\xA9</a>"},
        DecodeCase{std::string("\xFF\xFE<\0a\0>\0\xE9\0<\0/\0a\0>\0", 18), "<a>\xC3\xA9</a>"},
        // Undecodable sequences become FF: an unassigned byte, an unpaired
        // surrogate, an odd last byte, a sequence cut off by the end.
        DecodeCase{"<?xml encoding=\"iso-8859-3\"?><a>\xA5\xE9</a>",
                   "<?xml encoding=\"iso-8859-3\"?><a>\xFF\xC3\xA9</a>"},
        DecodeCase{std::string("\xFE\xFF\0<\0a\xD8\0\0>\0z\0", 13), "<a\xFF>z\xFF"},
        DecodeCase{"<?xml encoding=\"sjis\"?><a>\x82\xA0\x82", "<?xml encoding=\"sjis\"?><a>\xE3\x81\x82\xFF"}));

// A pass reads UTF-8 whatever the declaration says: the document is decoded first.
TEST(DocumentBytes, PassesReadTheDecodedText) {
  const std::string raw = kLatin1Decl + "<a x=\"\xE9\">caf\xE9</a>";
  EXPECT_EQ(query(raw, "a.#text"), V{"V:caf\xE9"});  // raw bytes: kept, not decoded
  Document doc;
  doc.load(raw);
  EXPECT_EQ(query(doc.bytes(), "a.#text"), V{"V:caf\xC3\xA9"});
  EXPECT_EQ(query(doc.bytes(), "a.@x"), V{"V:\xC3\xA9"});
  EXPECT_EQ(extract_element_text("<a>caf\xE9</a>"), "caf\xE9");
}

}  // namespace
}  // namespace varnex::engine::testing
