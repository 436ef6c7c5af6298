// Unescaping: predefined entities, character references and their exact
// accept/reject rules, all or nothing, and decode errors before escape errors.
#include "xml/unescape.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varnex::xml {
namespace {

struct Case {
  std::string_view text;
  UnescapeStatus status;
  std::string_view result;  // when Ok
};

class Unescape : public ::testing::TestWithParam<Case> {};

TEST_P(Unescape, ResolvesOrRejects) {
  const Case& c = GetParam();
  std::string scratch = "stale";
  std::string_view out = "untouched";
  const UnescapeStatus st = unescape(c.text, scratch, &out);
  EXPECT_EQ(st, c.status) << c.text;
  if (c.status == UnescapeStatus::Ok) {
    EXPECT_EQ(out, c.result) << c.text;
    // Text without references is given back as it is, never copied.
    if (c.text.find('&') == std::string_view::npos) { EXPECT_EQ(out.data(), c.text.data()); }
  } else {
    EXPECT_EQ(out, "untouched") << "no partial result for " << c.text;
  }
}

using S = UnescapeStatus;

INSTANTIATE_TEST_SUITE_P(
    Cases, Unescape,
    ::testing::Values(
        Case{"&amp;&lt;&gt;&apos;&quot;", S::Ok, "&<>'\""}, Case{"plain", S::Ok, "plain"},
        Case{"", S::Ok, ""}, Case{"a&lt;b&gt;c", S::Ok, "a<b>c"}, Case{";;&lt;;", S::Ok, ";;<;"},
        Case{"\r\n&amp;\r", S::Ok, "\r\n&\r"}, Case{"&#9;&#xA;", S::Ok, "\t\n"},
        Case{"&#65;&#x41;&#xa;&#0000000065;&#x0041;", S::Ok, "AA\nAA"},
        Case{"&#x1F600;", S::Ok, "\xF0\x9F\x98\x80"}, Case{"&#x10FFFF;", S::Ok, "\xF4\x8F\xBF\xBF"},
        Case{"&#1;&#xFFFE;&#xFFFF;", S::Ok, "\x01\xEF\xBF\xBE\xEF\xBF\xBF"},
        Case{"&#233;&#x800;", S::Ok, "\xC3\xA9\xE0\xA0\x80"},
        Case{"&#xD800;", S::InvalidCodepoint, ""}, Case{"&#xDFFF;", S::InvalidCodepoint, ""},
        Case{"&#x110000;", S::InvalidCodepoint, ""}, Case{"&#4294967295;", S::InvalidCodepoint, ""},
        Case{"&#0;", S::IllegalCharacter, ""}, Case{"&#x000;", S::IllegalCharacter, ""},
        Case{"&#-1;", S::UnexpectedSign, ""}, Case{"&#x+1;", S::UnexpectedSign, ""},
        Case{"&#1.0;", S::InvalidNumber, ""}, Case{"&#X41;", S::InvalidNumber, ""},
        Case{"&#4294967296;", S::InvalidNumber, ""}, Case{"&#x100000000;", S::InvalidNumber, ""},
        Case{"&#99999999999999999999999;", S::InvalidNumber, ""}, Case{"&#x;", S::InvalidNumber, ""},
        Case{"&#xG;", S::InvalidNumber, ""}, Case{"&# 1;", S::InvalidNumber, ""},
        Case{"&amp", S::UnterminatedEntity, ""}, Case{"&#x41", S::UnterminatedEntity, ""},
        Case{"a &amp b &lt; c", S::UnterminatedEntity, ""}, Case{"&lt;&", S::UnterminatedEntity, ""},
        Case{"&AMP;", S::UnrecognizedEntity, ""}, Case{"&;", S::UnrecognizedEntity, ""},
        Case{"a ; & ; b", S::UnrecognizedEntity, ""},
        // The first failing reference decides, later ones are never looked at.
        Case{"&lt;&bogus;&#0;", S::UnrecognizedEntity, ""},
        Case{"&#0;&bogus;", S::IllegalCharacter, ""}));

TEST(DecodeThenUnescape, DecodeErrorsComeFirst) {
  const struct {
    Encoding enc;
    std::string_view raw;
    TextStatus status;
    std::string_view result;
  } cases[] = {
      {Encoding::Utf8, "caf\xC3\xA9 &amp; co", TextStatus::Ok, "caf\xC3\xA9 & co"},
      {Encoding::Utf8, "caf\xE9", TextStatus::DecodeError, ""},
      {Encoding::Utf8, "\xE9 &bogus;", TextStatus::DecodeError, ""},
      {Encoding::Utf8, "ok &bogus;", TextStatus::EscapeError, ""},
      {Encoding::Windows1252, "caf\xE9 &lt;", TextStatus::Ok, "caf\xC3\xA9 <"},
      {Encoding::Replacement, "x", TextStatus::DecodeError, ""},
      {Encoding::Replacement, "", TextStatus::Ok, ""}};
  for (const auto& c : cases) {
    std::string a, b;
    std::string_view out;
    EXPECT_EQ(decode_and_unescape(c.enc, c.raw, a, b, &out), c.status) << c.raw;
    if (c.status == TextStatus::Ok) { EXPECT_EQ(out, c.result); }
  }
}

}  // namespace
}  // namespace varnex::xml
