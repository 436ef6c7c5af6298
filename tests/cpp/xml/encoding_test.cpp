// Encodings: labels, detection from a byte-order mark or declaration, strict
// UTF-8 validation and decoding of the other encodings.
#include "xml/encoding.hpp"

#include <gtest/gtest.h>

#include <string>

#include "render.hpp"

namespace varnex::xml {
namespace {

struct LabelCase {
  std::string_view label;
  bool known;
  Encoding enc;
};

class Labels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(Labels, LookUp) {
  Encoding enc = Encoding::Utf8;
  EXPECT_EQ(encoding_for_label(GetParam().label, &enc), GetParam().known) << GetParam().label;
  if (GetParam().known) {
    EXPECT_EQ(enc, GetParam().enc) << GetParam().label;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Labels,
    ::testing::Values(
        LabelCase{"UTF8", true, Encoding::Utf8},
        LabelCase{" \t\f\r\nLatin1\n ", true, Encoding::Windows1252},
        LabelCase{"US-ASCII", true, Encoding::Windows1252},
        LabelCase{"iso-8859-9", true, Encoding::Windows1254},
        LabelCase{"tis-620", true, Encoding::Windows874}, LabelCase{"gb2312", true, Encoding::Gbk},
        LabelCase{"windows-949", true, Encoding::EucKr},
        LabelCase{"hz-gb-2312", true, Encoding::Replacement}, LabelCase{"", false, Encoding::Utf8},
        LabelCase{"utf 8", false, Encoding::Utf8},
        LabelCase{"utf-8\v", false, Encoding::Utf8},
        LabelCase{"latin1\xC3\xA9", false, Encoding::Utf8},
        LabelCase{"iso-8859-1-and-a-very-long-suffix-indeed", false, Encoding::Utf8}));

struct Utf8Case {
  std::string_view bytes;
  bool valid;
};

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, Strict) {
  const std::string_view b = GetParam().bytes;
  EXPECT_EQ(is_valid_utf8(b), GetParam().valid) << testing::escape(b);
  // The vector path and the tail must agree wherever the sequence sits.
  const std::string padded = std::string(13, 'a') + std::string(b) + std::string(21, 'z');
  EXPECT_EQ(is_valid_utf8(padded), GetParam().valid) << testing::escape(b);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Validation,
    ::testing::Values(Utf8Case{"", true}, Utf8Case{"ascii only", true}, Utf8Case{"\xC2\x80", true},
                      Utf8Case{"\xDF\xBF", true}, Utf8Case{"\xE0\xA0\x80", true},
                      Utf8Case{"\xED\x9F\xBF", true}, Utf8Case{"\xEE\x80\x80", true},
                      Utf8Case{"\xEF\xBB\xBF", true}, Utf8Case{"\xF0\x90\x80\x80", true},
                      Utf8Case{"\xF4\x8F\xBF\xBF", true}, Utf8Case{std::string_view("\0", 1), true},
                      Utf8Case{"\x80", false}, Utf8Case{"\xBF", false}, Utf8Case{"\xC0\x80", false},
                      Utf8Case{"\xC1\xBF", false},  // overlong
                      Utf8Case{"\xE0\x9F\xBF", false}, Utf8Case{"\xF0\x8F\xBF\xBF", false},
                      Utf8Case{"\xED\xA0\x80", false},
                      Utf8Case{"\xED\xBF\xBF", false},  // surrogates
                      Utf8Case{"\xF4\x90\x80\x80", false}, Utf8Case{"\xF5\x80\x80\x80", false},
                      Utf8Case{"\xFF", false}, Utf8Case{"\xFE", false}, Utf8Case{"\xC2", false},
                      Utf8Case{"\xE2\x82", false},  // truncated
                      Utf8Case{"\xF0\x9F\x98", false}, Utf8Case{"\xC2\x41", false},
                      Utf8Case{"\xE2\x28\xA1", false}, Utf8Case{"\xF0\x9F\x98\x28", false}));

struct DecodeCase {
  Encoding enc;
  std::string_view raw;
  bool ok;
  std::string_view utf8;
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, ToUtf8) {
  const DecodeCase& c = GetParam();
  std::string scratch;
  std::string_view out;
  const DecodeStatus st = decode(c.enc, c.raw, scratch, &out);
  EXPECT_EQ(st == DecodeStatus::Ok, c.ok) << testing::escape(c.raw);
  if (c.ok) {
    EXPECT_EQ(out, c.utf8) << testing::escape(c.raw);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Decode,
    ::testing::Values(
        DecodeCase{Encoding::Utf8, "\xEF\xBB\xBFx", true, "\xEF\xBB\xBFx"},  // no BOM stripping
        DecodeCase{Encoding::Windows1252, "\x80\x81\x8D\x8F\x90\x9D\x9F\xFF", true,
                   "\xE2\x82\xAC\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D\xC5\xB8\xC3\xBF"},
        DecodeCase{Encoding::XUserDefined, "a\x80\xFF", true, "a\xEF\x9E\x80\xEF\x9F\xBF"},
        DecodeCase{Encoding::Replacement, "", true, ""},
        DecodeCase{Encoding::Replacement, "a", false, ""},
        DecodeCase{Encoding::Utf16LE, std::string_view("a\0b\0", 4), true, "ab"},
        DecodeCase{Encoding::Utf16LE, "abc", false, ""},
        DecodeCase{Encoding::Utf16BE, std::string_view("\xD8\x3D\xDE\x00", 4), true,
                   "\xF0\x9F\x98\x80"},
        DecodeCase{Encoding::Utf16BE, std::string_view("\xD8\x3D\x00\x41", 4), false, ""},
        DecodeCase{Encoding::Utf16BE, std::string_view("\xDE\x00", 2), false, ""},
        DecodeCase{Encoding::Iso8859_2, "\xA1", true, "\xC4\x84"},
        DecodeCase{Encoding::Iso8859_3, "\xA5", false, ""},  // a hole in the table
        DecodeCase{Encoding::Windows1251, "\xC0", true, "\xD0\x90"},
        DecodeCase{Encoding::ShiftJis, "\x82", false, ""},  // truncated
        DecodeCase{Encoding::EucKr, "\xB0\xA1", true, "\xEA\xB0\x80"},
        DecodeCase{Encoding::Iso2022Jp, "\x1B$B$\"\x1B(B", true, "\xE3\x81\x82"}));

TEST(Decode, AsciiInAsciiCompatibleEncodingsIsZeroCopy) {
  const std::string_view raw = "<plain text>";
  std::string scratch;
  std::string_view out;
  for (Encoding e : {Encoding::Utf8, Encoding::Windows1252, Encoding::ShiftJis, Encoding::Koi8R}) {
    ASSERT_EQ(decode(e, raw, scratch, &out), DecodeStatus::Ok);
    EXPECT_EQ(out.data(), raw.data());
  }
}

// Where the reader's encoding comes from (documents are detected from their prolog only).
struct DetectCase {
  std::string_view doc;
  Encoding enc;
};

class Detection : public ::testing::TestWithParam<DetectCase> {};

TEST_P(Detection, AfterReadingEverything) {
  Reader r(GetParam().doc);
  while (r.read_event().kind != EventKind::Eof) {
  }
  EXPECT_EQ(r.encoding(), GetParam().enc) << testing::escape(GetParam().doc);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Detection,
    ::testing::Values(
        // Marks and plain declarations are covered where users meet them, by the Python suite.
        DetectCase{"<a/>", Encoding::Utf8},
        DetectCase{std::string_view("\0<\0?", 4), Encoding::Utf16BE},
        DetectCase{"<?xml version=\"1.0\" encoding=\"bogus\"?><?xml encoding=\"koi8-r\"?>",
                   Encoding::Koi8R},
        DetectCase{"<?xml encoding=\"utf-8\"?><?xml encoding=\"latin1\"?>", Encoding::Utf8},
        DetectCase{"<?xml encoding='latin1'?><?xml encoding='koi8-r'?>", Encoding::Windows1252},
        DetectCase{"<?xml version=1.0 encoding=\"latin1\"?>", Encoding::Utf8},
        DetectCase{"<?xml encoding=\"latin1\" encoding='koi8-r'?>", Encoding::Windows1252},
        DetectCase{"<?xml-stylesheet encoding=\"latin1\"?>", Encoding::Utf8},
        DetectCase{"<?xml encoding=\"utf-16\"?>", Encoding::Utf16LE}));

}  // namespace
}  // namespace varnex::xml
