// The strict checker: documents it must accept, and malformed ones with the rule and the exact
// offset it reports; every text also run cut short at each length, which must never pass for
// a longer document's prefix that is not itself a document, nor read past the end.
#include "xml/wellformed.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "xml/chars.hpp"

namespace varnex::xml {
namespace {

// Checks a copy that ends exactly where the text does, so reading past it is seen by ASan.
WfError check(std::string_view doc, const WfSource& source = {}) {
  const std::unique_ptr<char[]> copy(new char[doc.size() + 1]);
  std::memcpy(copy.get(), doc.data(), doc.size());
  return check_well_formed(std::string_view(copy.get(), doc.size()), source);
}

class WellFormed : public ::testing::TestWithParam<std::string_view> {};

TEST_P(WellFormed, IsAccepted) {
  const WfError error = check(GetParam());
  EXPECT_TRUE(error.ok()) << GetParam() << "\n" << wf_message(error) << " at " << error.offset;
}

INSTANTIATE_TEST_SUITE_P(
    Documents, WellFormed,
    ::testing::Values(
        "<a/>", "<a></a >", "\xEF\xBB\xBF<a/>", "<?xml version=\"1.0\"?><a/>",
        "<?xml version='1.1' encoding='UTF-8' standalone='no' ?>\n<a/>\n",
        "<!-- c --><?pi x?><a/><!-- d -->\n", "<a>x &amp; &lt;&#60;&#x3C;&#x10FFFF;</a>",
        "<a b='\"' c=\"'\" d = \"&gt;\"\n/>", "<a><![CDATA[<&]]]]></a>", "<a>]]</a>", "<a>]></a>",
        "<a><!-- - - --></a>",
        "<\xC3\xA9l\xC2\xB7\xCC\x80 \xE6\x97\xA5=\"\xF0\x9F\x98\x80\"/>",  // é·̀ 日 😀
        "<a:b xmlns:a='u' a:x='1' x='2'/>", "<a xmlns:p='u' xmlns:q='v' p:x='1' q:x='2'/>",
        "<a p:x='1' q:x='2'/>",  // undeclared prefixes: not namespace-checked
        "<!DOCTYPE a [<!ENTITY e '<b>t</b>'><!ENTITY f '&e;&e;'>]><a>&f;</a>",
        "<!DOCTYPE a [<!ENTITY e 'v&#38;#60;'>]><a>&e;</a>",
        "<!DOCTYPE a [<!ENTITY e 'x&amp;y'>]><a b='&e;'/>",
        "<!DOCTYPE a SYSTEM 'a.dtd'><a>&undeclared;</a>",
        "<!DOCTYPE a [%pe;]><a>&undeclared;</a>",
        "<!DOCTYPE a [<!ENTITY % p '<!ENTITY e \"1\">'>%p;]><a>&e;</a>",
        "<!DOCTYPE a PUBLIC '-//A//B' 'a.dtd' [<!ELEMENT a (b|c)*><!ELEMENT b (#PCDATA|c)*>"
        "<!ELEMENT c ((b,c?)+|EMPTY2)><!ATTLIST a x CDATA #IMPLIED y (p|q) 'p' z NOTATION (n) "
        "#REQUIRED w ID #FIXED 'i'><!NOTATION n PUBLIC 'n'><!ENTITY u SYSTEM 'u' NDATA n>"
        "<?pi?><!-- c -->]>\n<a/>",
        "<a>\t\r\n</a>"));

struct Bad {
  std::string_view doc;
  WfRule rule;
  size_t offset;
};

class Malformed : public ::testing::TestWithParam<Bad> {};

TEST_P(Malformed, IsRejectedWhereItBreaks) {
  const Bad& c = GetParam();
  const WfError error = check(c.doc);
  EXPECT_EQ(error.rule, c.rule) << c.doc << "\n" << wf_message(error);
  EXPECT_EQ(error.offset, c.offset) << c.doc;
}

using R = WfRule;

INSTANTIATE_TEST_SUITE_P(
    Documents, Malformed,
    ::testing::Values(
        // Characters and UTF-8.
        Bad{"<a>\x01</a>", R::InvalidChar, 3}, Bad{"<a>\xEF\xBF\xBE</a>", R::InvalidChar, 3},
        Bad{"<a>\xC3</a>", R::InvalidUtf8, 3}, Bad{"<a>\xED\xA0\x80</a>", R::InvalidUtf8, 3},
        Bad{"<a>\xC0\xAF</a>", R::InvalidUtf8, 3}, Bad{"<a b='\x0C'/>", R::InvalidChar, 6},
        Bad{"<a><!-- \x02 --></a>", R::InvalidChar, 8}, Bad{"<a>&#0;</a>", R::BadCharRef, 3},
        Bad{"<a>&#x1;</a>", R::BadCharRef, 3}, Bad{"<a>&#xD800;</a>", R::BadCharRef, 3},
        Bad{"<a>&#xFFFE;</a>", R::BadCharRef, 3}, Bad{"<a>&#X41;</a>", R::BadReference, 3},
        // The declaration.
        Bad{" <?xml version='1.0'?><a/>", R::MisplacedDecl, 1},
        Bad{"<a/><?xml version='1.0'?>", R::MisplacedDecl, 4},
        Bad{"<?xml?><a/>", R::DeclSyntax, 5}, Bad{"<?xml encoding='UTF-8'?><a/>", R::DeclSyntax, 6},
        Bad{"<?xml version='2.0'?><a/>", R::BadVersion, 15},
        Bad{"<?xml version='1.0' standalone='maybe'?><a/>", R::BadStandalone, 32},
        Bad{"<?xml version='1.0' encoding='8bit'?><a/>", R::BadEncodingName, 30},
        Bad{"<?xml version='1.0' encoding='bogus'?><a/>", R::UnknownEncoding, 30},
        Bad{"<?xml version='1.0' encoding='UTF-16'?><a/>", R::EncodingMismatch, 30},
        Bad{"<?xml version='1.0'standalone='yes'?><a/>", R::DeclSyntax, 19},
        // The document's structure.
        Bad{"", R::NoRoot, 0}, Bad{"  <!-- c -->", R::NoRoot, 12},
        Bad{"x<a/>", R::TextOutsideRoot, 0}, Bad{"<a/>x", R::TextOutsideRoot, 4},
        Bad{"<a/><b/>", R::SecondRoot, 4}, Bad{"<a/></a>", R::StrayEndTag, 4},
        Bad{"<a/><!DOCTYPE a>", R::MisplacedDoctype, 4},
        Bad{"<!DOCTYPE a><!DOCTYPE a><a/>", R::MisplacedDoctype, 12},
        Bad{"<a><!DOCTYPE a></a>", R::MisplacedDoctype, 3},
        Bad{"<![CDATA[x]]><a/>", R::MisplacedCData, 0}, Bad{"<a><b></a>", R::MismatchedEndTag, 6},
        Bad{"<a><b>", R::UnclosedElement, 6}, Bad{"<ab></a>", R::MismatchedEndTag, 4},
        Bad{"<a></ab>", R::MismatchedEndTag, 3}, Bad{"<a></a", R::UnclosedTag, 3},
        // Tags and attributes.
        Bad{"<1a/>", R::ExpectedName, 1}, Bad{"< a/>", R::ExpectedName, 1},
        Bad{"<a b='1'c='2'/>", R::BadTagEnd, 8}, Bad{"<a b/>", R::ExpectedEq, 4},
        Bad{"<a b=1/>", R::ExpectedQuote, 5}, Bad{"<a b='1", R::UnclosedAttrValue, 5},
        Bad{"<a b='<'/>", R::LtInAttrValue, 6}, Bad{"<a b='1' b='2'/>", R::DuplicateAttr, 9},
        Bad{"<a xmlns:p='u' xmlns:q='u' p:x='1' q:x='2'/>", R::DuplicateExpandedAttr, 35},
        Bad{"<a xmlns:p='u' xmlns:q='&#117;' p:x='1' q:x='2'/>", R::DuplicateExpandedAttr, 40},
        Bad{"<a / >", R::BadTagEnd, 3}, Bad{"<a", R::UnclosedTag, 0},
        // Text and references.
        Bad{"<a>]]></a>", R::CDataEndInText, 3}, Bad{"<a>&</a>", R::BadReference, 3},
        Bad{"<a>&b</a>", R::BadReference, 3}, Bad{"<a>&b;</a>", R::UndeclaredEntity, 3},
        Bad{"<a b='&c;'/>", R::UndeclaredEntity, 6},
        Bad{"<?xml version='1.0' standalone='yes'?><!DOCTYPE a SYSTEM 'a'><a>&e;</a>",
            R::UndeclaredEntity, 64},
        Bad{"<!DOCTYPE a [<!ENTITY e 'v&#60;'>]><a>&e;</a>", R::UnclosedTag, 38},
        Bad{"<!DOCTYPE a [<!NOTATION n SYSTEM 'n'><!ENTITY e SYSTEM 'e' NDATA n>]><a>&e;</a>",
            R::UnparsedEntityRef, 72},
        Bad{"<!DOCTYPE a [<!ENTITY e SYSTEM 'e'>]><a b='&e;'/>", R::ExternalEntityInAttr, 43},
        Bad{"<!DOCTYPE a [<!ENTITY e '&#60;'>]><a b='&e;'/>", R::LtInAttrEntity, 40},
        Bad{"<!DOCTYPE a [<!ENTITY e '&f;'><!ENTITY f '&e;'>]><a>&e;</a>", R::RecursiveEntity,
            52},
        Bad{"<!DOCTYPE a [<!ENTITY e '<b>'>]><a>&e;</b></a>", R::UnbalancedEntity, 35},
        Bad{"<!DOCTYPE a [<!ENTITY e '&#38;'>]><a>&e;</a>", R::BadReference, 37},
        // Comments, PIs, CDATA, markup.
        Bad{"<a><!-- a -- b --></a>", R::DoubleHyphenInComment, 10},
        Bad{"<a><!-- a ---></a>", R::DoubleHyphenInComment, 10},
        Bad{"<a><!-- a </a>", R::UnclosedComment, 3}, Bad{"<a><?XmL x?></a>", R::ReservedPiTarget, 3},
        Bad{"<a><?pi?x?></a>", R::BadPi, 7}, Bad{"<a><?pi x</a>", R::UnclosedPi, 3},
        Bad{"<a><? x?></a>", R::ExpectedName, 5}, Bad{"<a><![CDATA[x</a>", R::UnclosedCData, 3},
        Bad{"<a><!x></a>", R::BadMarkup, 3}, Bad{"<a><![cdata[x]]></a>", R::BadMarkup, 3},
        // The document type declaration.
        Bad{"<!DOCTYPEa><a/>", R::BadDoctype, 9}, Bad{"<!DOCTYPE a [<a/>", R::BadMarkupDecl, 13},
        Bad{"<!DOCTYPE a [", R::UnclosedDoctype, 0},
        Bad{"<!DOCTYPE a [<!ELEMENT a (b,c|d)>]><a/>", R::BadMarkupDecl, 29},
        Bad{"<!DOCTYPE a [<!ELEMENT a (#PCDATA|b)>]><a/>", R::BadMarkupDecl, 36},
        Bad{"<!DOCTYPE a [<!ELEMENT a %e;>]><a/>", R::PeInMarkupDecl, 25},
        Bad{"<!DOCTYPE a [<!ENTITY e '%p;'>]><a/>", R::PeInMarkupDecl, 25},
        Bad{"<!DOCTYPE a [<!ATTLIST a b CDATA>]><a/>", R::BadMarkupDecl, 32},
        Bad{"<!DOCTYPE a [<!ENTITY e 'x>]><a/>", R::BadLiteral, 24},
        Bad{"<!DOCTYPE a PUBLIC 'a{' 'b'><a/>", R::BadPubidChar, 21},
        Bad{"<!DOCTYPE a [<!ENTITY % p '<!ELEMENT'>%p;]><a/>", R::BadMarkupDecl, 38},
        Bad{"<!DOCTYPE a [<!ENTITY % p '%q;'>]><a/>", R::PeInMarkupDecl, 27}));

TEST(WellFormedPrefixes, NoProperPrefixOfADocumentIsOne) {
  const std::string_view doc =
      "<?xml version='1.0'?><!DOCTYPE a [<!ENTITY e 'v'>]><a b='&e;'>t&e;<![CDATA[c]]>"
      "<!--c--><?p x?><b/></a>";
  ASSERT_TRUE(check(doc).ok());
  for (size_t n = 0; n < doc.size(); ++n) {
    EXPECT_FALSE(check(doc.substr(0, n)).ok()) << doc.substr(0, n);
  }
}

TEST(WellFormedSources, EncodingsNamedAgreeWithTheBytes) {
  const std::string_view latin = "<?xml version='1.0' encoding='ISO-8859-1'?><a/>";
  EXPECT_EQ(check(latin).rule, WfRule::EncodingMismatch);
  EXPECT_TRUE(check(latin, {Encoding::Windows1252, 0, false}).ok());
  // A str's declaration names no bytes; a mark that says UTF-8 contradicts latin-1.
  EXPECT_TRUE(check(latin, {Encoding::Utf8, 0, true}).ok());
  EXPECT_EQ(check(latin, {Encoding::Windows1252, 3, false}).rule, WfRule::EncodingMismatch);
  const std::string_view utf16 = "<?xml version='1.0' encoding='UTF-16'?><a/>";
  EXPECT_TRUE(check(utf16, {Encoding::Utf16BE, 2, false}).ok());
  // Bytes that did not decode are reported as such, naming the encoding.
  const WfError bad = check("<?xml version='1.0' encoding='ISO-8859-3'?><a>\xFF</a>",
                            {Encoding::Iso8859_3, 0, false});
  EXPECT_EQ(bad.rule, WfRule::InvalidEncodedByte);
  EXPECT_EQ(wf_message(bad), "byte sequence not valid in the declared encoding ISO-8859-3");
}

TEST(WellFormedMessages, QuoteWhatBrokeTheRule) {
  EXPECT_EQ(wf_message(check("<a><b></c></a>")), "end tag 'c' does not match start tag 'b'");
  EXPECT_EQ(wf_message(check("<a>\x01</a>")), "character U+0001 is not allowed in XML");
  EXPECT_EQ(wf_message(check("<!DOCTYPE a [<!ENTITY e '<b>'>]><a>&e;</a>")),
            "in entity 'e': the replacement text of an entity does not close what it opens");
  // Long names are quoted up to a limit, never cutting a character.
  std::string long_name;
  for (int i = 0; i < 40; ++i) long_name += "\xC3\xA9";
  const WfError error = check("<" + long_name + "></b>");
  EXPECT_EQ(error.rule, WfRule::MismatchedEndTag);
  EXPECT_LE(error.other.size(), 64u);
  EXPECT_EQ(error.other.size() % 2, 0u);
}

TEST(WellFormedLimits, DeepAndWideDocumentsStayLinear) {
  // A million nested elements: the stack is the checker's, not the native one.
  std::string deep;
  for (int i = 0; i < 1'000'000; ++i) deep += "<a>";
  for (int i = 0; i < 1'000'000; ++i) deep += "</a>";
  EXPECT_TRUE(check(deep).ok());
  // Many attributes, the last one repeated.
  std::string wide = "<a";
  for (int i = 0; i < 50'000; ++i) wide += " a" + std::to_string(i) + "='1'";
  EXPECT_TRUE(check(wide + "/>").ok());
  EXPECT_EQ(check(wide + " a7='2'/>").rule, WfRule::DuplicateAttr);
  // Entities that double at each level are checked once each.
  std::string laughs = "<!DOCTYPE a [<!ENTITY e0 'ha'>";
  for (int i = 1; i < 60; ++i) {
    laughs += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i - 1) + ";&e" +
              std::to_string(i - 1) + ";'>";
  }
  EXPECT_TRUE(check(laughs + "]><a b='&e59;'>&e59;</a>").ok());
  // Entities nested deeper than the checker follows are refused, not followed.
  std::string chain = "<!DOCTYPE a [<!ENTITY e0 'x'>";
  for (int i = 1; i < 200; ++i)
    chain += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i - 1) + ";'>";
  EXPECT_EQ(check(chain + "]><a>&e199;</a>").rule, WfRule::EntityTooDeep);
}

TEST(CharacterTables, RangesAndTheByteTableAgree) {
  for (uint32_t c = 0; c < 0x80; ++c) {
    EXPECT_EQ(chars::is_name_start(c), chars::has(static_cast<char>(c), chars::kNameStart));
    EXPECT_EQ(chars::is_char(c), c == 9 || c == 10 || c == 13 || c >= 0x20);
  }
  EXPECT_TRUE(chars::is_name_start(0xC0));
  EXPECT_FALSE(chars::is_name_start(0xD7));
  EXPECT_FALSE(chars::is_name_start(0xB7));
  EXPECT_TRUE(chars::is_name_char(0xB7));
  EXPECT_TRUE(chars::is_name_start(0xEFFFF));
  EXPECT_FALSE(chars::is_name_start(0xF0000));
  EXPECT_FALSE(chars::is_char(0xFFFE));
  EXPECT_TRUE(chars::is_char(0x10FFFF));
}

}  // namespace
}  // namespace varnex::xml
