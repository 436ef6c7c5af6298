// Encodings: labels, detection from a byte-order mark or declaration, and decoding of the
// other encodings.
#include "xml/encoding.hpp"

#include <gtest/gtest.h>

#include <string>

#include "render.hpp"

namespace varnex::xml {
namespace {

TEST(Labels, LookUp) {
  const struct {
    std::string_view label;
    bool known;
    Encoding enc;
  } cases[] = {
      {"UTF8", true, Encoding::Utf8}, {" \t\f\r\nLatin1\n ", true, Encoding::Windows1252},
      {"US-ASCII", true, Encoding::Windows1252}, {"iso-8859-9", true, Encoding::Windows1254},
      {"tis-620", true, Encoding::Windows874}, {"gb2312", true, Encoding::Gbk},
      {"windows-949", true, Encoding::EucKr}, {"hz-gb-2312", true, Encoding::Replacement},
      {"", false, Encoding::Utf8}, {"utf 8", false, Encoding::Utf8},
      {"utf-8\v", false, Encoding::Utf8}, {"latin1\xC3\xA9", false, Encoding::Utf8},
      {"iso-8859-1-and-a-very-long-suffix-indeed", false, Encoding::Utf8}};
  for (const auto& c : cases) {
    Encoding enc = Encoding::Utf8;
    EXPECT_EQ(encoding_for_label(c.label, &enc), c.known) << c.label;
    if (c.known) { EXPECT_EQ(enc, c.enc) << c.label; }
  }
}

TEST(Decode, ToUtf8) {
  const struct {
    Encoding enc;
    std::string_view raw;
    bool ok;
    std::string_view utf8;
  } cases[] = {
      {Encoding::Utf8, "\xEF\xBB\xBFx", true, "\xEF\xBB\xBFx"},  // no BOM stripping
      {Encoding::Windows1252, "\x80\x81\x8D\x8F\x90\x9D\x9F\xFF", true,
       "\xE2\x82\xAC\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D\xC5\xB8\xC3\xBF"},
      {Encoding::XUserDefined, "a\x80\xFF", true, "a\xEF\x9E\x80\xEF\x9F\xBF"},
      {Encoding::Replacement, "", true, ""},
      {Encoding::Replacement, "a", false, ""},
      {Encoding::Utf16LE, std::string_view("a\0b\0", 4), true, "ab"},
      {Encoding::Utf16LE, "abc", false, ""},
      {Encoding::Utf16BE, std::string_view("\xD8\x3D\xDE\x00", 4), true, "\xF0\x9F\x98\x80"},
      {Encoding::Utf16BE, std::string_view("\xD8\x3D\x00\x41", 4), false, ""},
      {Encoding::Utf16BE, std::string_view("\xDE\x00", 2), false, ""},
      {Encoding::Iso8859_2, "\xA1", true, "\xC4\x84"},
      {Encoding::Iso8859_3, "\xA5", false, ""},  // a hole in the table
      {Encoding::Windows1251, "\xC0", true, "\xD0\x90"},
      {Encoding::ShiftJis, "\x82", false, ""},  // truncated
      {Encoding::EucKr, "\xB0\xA1", true, "\xEA\xB0\x80"},
      {Encoding::Iso2022Jp, "\x1B$B$\"\x1B(B", true, "\xE3\x81\x82"}};
  for (const auto& c : cases) {
    std::string scratch;
    std::string_view out;
    EXPECT_EQ(decode(c.enc, c.raw, scratch, &out) == DecodeStatus::Ok, c.ok)
        << testing::escape(c.raw);
    if (c.ok) { EXPECT_EQ(out, c.utf8) << testing::escape(c.raw); }
  }
}

TEST(Decode, AsciiInAsciiCompatibleEncodingsIsZeroCopy) {
  const std::string_view raw = "<plain text>";
  std::string scratch;
  std::string_view out;
  for (Encoding e : {Encoding::Utf8, Encoding::Windows1252, Encoding::ShiftJis, Encoding::Koi8R}) {
    ASSERT_EQ(decode(e, raw, scratch, &out), DecodeStatus::Ok);
    EXPECT_EQ(out.data(), raw.data());
  }
}

// Where the reader's encoding comes from (documents are detected from their prolog only; marks
// and plain declarations are covered where users meet them, by the Python suite).
TEST(Detection, AfterReadingEverything) {
  const std::pair<std::string_view, Encoding> cases[] = {
      {"<a/>", Encoding::Utf8},
      {std::string_view("\0<\0?", 4), Encoding::Utf16BE},
      {"<?xml version=\"1.0\" encoding=\"bogus\"?><?xml encoding=\"koi8-r\"?>", Encoding::Koi8R},
      {"<?xml encoding=\"utf-8\"?><?xml encoding=\"latin1\"?>", Encoding::Utf8},
      {"<?xml encoding='latin1'?><?xml encoding='koi8-r'?>", Encoding::Windows1252},
      {"<?xml version=1.0 encoding=\"latin1\"?>", Encoding::Utf8},
      {"<?xml encoding=\"latin1\" encoding='koi8-r'?>", Encoding::Windows1252},
      {"<?xml-stylesheet encoding=\"latin1\"?>", Encoding::Utf8},
      {"<?xml encoding=\"utf-16\"?>", Encoding::Utf16LE}};
  for (const auto& [doc, enc] : cases) {
    Reader r(doc);
    while (r.read_event().kind != EventKind::Eof) {
    }
    EXPECT_EQ(r.encoding(), enc) << testing::escape(doc);
  }
}

}  // namespace
}  // namespace varnex::xml
