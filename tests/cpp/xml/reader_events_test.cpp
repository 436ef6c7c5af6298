// Event sequences with exact positions: well-formed and odd-but-accepted markup, and
// malformed input: which errors stop the reader, where they leave it, and that every later
// read is Eof there (render_all reads on past it).
#include <gtest/gtest.h>

#include "render.hpp"

namespace varnex::xml {
namespace {

using testing::render_all;

struct Case {
  std::string_view input;
  std::string_view expected;
  bool unchecked_end_names = false;  // as queries read; the defaults are validation's
};

class EventSequence : public ::testing::TestWithParam<Case> {};

TEST_P(EventSequence, RendersExactly) {
  Config c;
  c.check_end_names = !GetParam().unchecked_end_names;
  EXPECT_EQ(render_all(GetParam().input, c), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Markup, EventSequence,
    ::testing::Values(
        Case{R"(<a x="1">hi<b/></a>)",
             R"(Start(a|a x="1")@9 Text(hi)@11 Empty(b)@15 End(a)@19 Eof@19)"},
        Case{"<a>t</a>tail", "Start(a)@3 Text(t)@4 End(a)@8 Text(tail)@12 Eof@12"},
        Case{"", "Eof@0"}, Case{"  ", "Text(  )@2 Eof@2"},
        Case{"<a>\r\n</a>", "Start(a)@3 Text(\\r\\n)@5 End(a)@9 Eof@9"},
        Case{R"(<a x=">"/>t)", R"(Empty(a|a x=">")@10 Text(t)@11 Eof@11)"},
        Case{"<a/ >", "Start(a/|a/ )@5 Eof@5"}, Case{"<a/b>", "Start(a/b)@5 Eof@5"},
        Case{"< a>", "Start(| a)@4 Eof@4"}, Case{"<>", "Start()@2 Eof@2"},
        Case{"<a<b>", "Start(a<b)@5 Eof@5"},
        Case{"a < b>c", "Text(a )@2 Start(| b)@6 Text(c)@7 Eof@7"},
        Case{"<a\r\n>", "Start(a|a\\r\\n)@5 Eof@5"}, Case{R"(<a x=/>)", R"(Empty(a|a x=)@7 Eof@7)"},
        Case{"<a>x > y</a>", "Start(a)@3 Text(x > y)@8 End(a)@12 Eof@12"},
        Case{"a<!--c-->b", "Text(a)@1 Comment(c)@9 Text(b)@10 Eof@10"},
        Case{"<a> </a>", "Start(a)@3 Text( )@4 End(a)@8 Eof@8"},
        Case{"<a></a >", "Start(a)@3 End(a)@8 Eof@8"},
        Case{"<a></ a>", "Start(a)@3 MismatchedEndTag(a/ a)@8 err@3 Eof@8"},
        Case{R"(<a></a x=">">)", R"(Start(a)@3 MismatchedEndTag(a/a x=">")@13 err@3 Eof@13)"},
        Case{"<//>", "UnmatchedEndTag(/)@4 err@0 Eof@4"},
        // Comments: the terminator starts at or after "<!--".
        Case{"<!---->", "Comment()@7 Eof@7"}, Case{"<!-->x-->", "Comment(>x)@9 Eof@9"},
        Case{"<!-- a -- b -->", "Comment( a -- b )@15 Eof@15"},
        Case{"<!-- a --->", "Comment( a -)@11 Eof@11"},
        // CDATA: raw up to the first "]]>".
        Case{"<![CDATA[a]b]]c]]>", "CData(a]b]]c)@18 Eof@18"},
        Case{"<![CDATA[>]]>", "CData(>)@13 Eof@13"}, Case{"<![CDATA[]]>", "CData()@12 Eof@12"},
        // DOCTYPE: the first '>' outside quoted literals at bracket depth 0;
        // in the internal subset comments and PIs hide their bytes too (the lxml
        // comparison in the Python suite has one subset for each).
        Case{"<!doctype x>", "DocType(x)@12 Eof@12"},
        Case{"<!DOCTYPEhtml>", "DocType(html)@14 Eof@14"},
        Case{"<!DocType \t x y>", "DocType(x y)@16 Eof@16"},
        Case{R"(<!DOCTYPE a [<!ENTITY x "y">]><r/>)",
             R"(DocType(a [<!ENTITY x "y">])@30 Empty(r)@34 Eof@34)"},
        Case{"<!DOCTYPE a [<?pi > ]> ?><!-- ' --><![ x [ ]]>]><a/>",
             "DocType(a [<?pi > ]> ?><!-- ' --><![ x [ ]]>])@48 Empty(a)@52 Eof@52"},
        // Outside the subset '<' is ordinary and comments are not recognised.
        Case{"<!DOCTYPE a <<>>><r/>", "DocType(a <<)@15 Text(>>)@17 Empty(r)@21 Eof@21"},
        Case{"<!DOCTYPE a <!-- > -->", "DocType(a <!-- )@18 Text( -->)@22 Eof@22"},
        Case{"<a><!DOCTYPE x></a>", "Start(a)@3 DocType(x)@15 End(a)@19 Eof@19"},
        // Processing instructions and declarations.
        Case{"<?\?>", "PI()@4 Eof@4"},
        Case{R"(<?pi a="?>"?>)", R"(PI(pi a=")@10 Text("?>)@13 Eof@13)"},
        Case{"<?xml?>", "Decl(xml)@7 Eof@7"},
        Case{"<?xml\tversion=\"1.0\"?>", "Decl(xml\\tversion=\"1.0\")@21 Eof@21"},
        Case{"<?xmlfoo?>", "PI(xmlfoo)@10 Eof@10"}, Case{"<?XML v?>", "PI(XML v)@9 Eof@9"},
        Case{R"(<?xml version="1.0"?><?xml version="1.1"?>)",
             R"(Decl(xml version="1.0")@21 Decl(xml version="1.1")@42 Eof@42)"},
        // A byte-order mark is dropped but counted.
        Case{"\xEF\xBB\xBF<a>x</a>", "Start(a)@6 Text(x)@7 End(a)@11 Eof@11"},
        Case{"\xEF\xBB\xBF\xEF\xBB\xBF<a/>", "Text(\\xEF\\xBB\\xBF)@6 Empty(a)@10 Eof@10"},
        Case{"\xEF\xBB\xBF", "Eof@3"},
        Case{std::string_view("\xFF\xFE<\0a\0>\0", 8), "Start(\\x00a\\x00)@7 Text(\\x00)@8 Eof@8"},
        // Several roots, NULs and stray bytes are all fine.
        Case{std::string_view("<a/>\0<b/>", 9), "Empty(a)@4 Text(\\x00)@5 Empty(b)@9 Eof@9"},
        Case{"<a>&</a>]]>", "Start(a)@3 Text(&)@4 End(a)@8 Text(]]>)@11 Eof@11"}));

INSTANTIATE_TEST_SUITE_P(
    Syntax, EventSequence,
    ::testing::Values(Case{"<a", "UnclosedTag@2 err@0 Eof@2"},
                      Case{"text<", "Text(text)@4 UnclosedTag@5 err@4 Eof@5"},
                      Case{"<a x=\"1>", "UnclosedTag@8 err@0 Eof@8"},
                      Case{"<a x='it's'>text</a>", "UnclosedTag@20 err@0 Eof@20"},
                      Case{"</a", "UnclosedTag@3 err@0 Eof@3"},
                      Case{"<a></a x='>", "Start(a)@3 UnclosedTag@11 err@3 Eof@11"},
                      Case{"<!", "InvalidBangMarkup@1 err@0 Eof@1"},
                      Case{"text<!x>", "Text(text)@4 InvalidBangMarkup@5 err@4 Eof@5"},
                      Case{"<!-- c", "UnclosedComment@6 err@0 Eof@6"},
                      Case{"<!-->", "UnclosedComment@5 err@0 Eof@5"},
                      Case{"<!--->", "UnclosedComment@6 err@0 Eof@6"},
                      Case{"<!-x-->rest", "UnclosedComment@7 err@0 Eof@7"},
                      Case{"<![cdata[x]]>rest", "UnclosedCData@13 err@0 Eof@13"},
                      Case{"<![CDATA]]>", "UnclosedCData@11 err@0 Eof@11"},
                      Case{"<![CDATA[x", "UnclosedCData@10 err@0 Eof@10"},
                      Case{"<!Doc x>", "UnclosedDoctype@8 err@0 Eof@8"},
                      Case{"<!Dx <y>>z", "UnclosedDoctype@8 err@0 Eof@8"},
                      Case{"<!DOCTYPE x", "UnclosedDoctype@11 err@0 Eof@11"},
                      // A literal, subset, comment or PI left open runs to the end.
                      Case{"<!DOCTYPE a SYSTEM \"x><r/>", "UnclosedDoctype@26 err@0 Eof@26"},
                      Case{"<!DOCTYPE a [<r/>", "UnclosedDoctype@17 err@0 Eof@17"},
                      Case{"<!DOCTYPE a [<!-- ]><r/>", "UnclosedDoctype@24 err@0 Eof@24"},
                      Case{"<!DOCTYPE a [<!-->]><r/>", "UnclosedDoctype@24 err@0 Eof@24"},
                      Case{"<!DOCTYPE a [<? ]><r/>", "UnclosedDoctype@22 err@0 Eof@22"},
                      Case{"<?pi", "UnclosedPIOrXmlDecl@4 err@0 Eof@4"},
                      Case{"<?>?>", "UnclosedPIOrXmlDecl@3 err@0 Eof@3"},
                      Case{"ab<?x >", "Text(ab)@2 UnclosedPIOrXmlDecl@7 err@2 Eof@7"},
                      Case{"\xEF\xBB\xBF<", "UnclosedTag@4 err@3 Eof@4"},
        // UTF-16 without a mark cannot be tokenized.
        Case{std::string_view("<\0?\0x\0", 6), "UnclosedTag@6 err@0 Eof@6"}));

INSTANTIATE_TEST_SUITE_P(
    IllFormed, EventSequence,
    ::testing::Values(
        Case{"</x><a/>", "UnmatchedEndTag(x)@4 err@0 Empty(a)@8 Eof@8"},
        Case{"<!DOCTYPE>", "MissingDoctypeName@10 err@9 Eof@10"},
        Case{"<!DOCTYPE   >x", "MissingDoctypeName@13 err@12 Text(x)@14 Eof@14"},
        Case{"<a></b></a>",
             "Start(a)@3 MismatchedEndTag(a/b)@7 err@3 UnmatchedEndTag(a)@11 err@7 Eof@11"}));

TEST(Malformed, FatalKindsAreClassified) {
  EXPECT_TRUE(is_fatal(ErrorKind::UnclosedTag));
  EXPECT_TRUE(is_fatal(ErrorKind::UnclosedPIOrXmlDecl));
  EXPECT_FALSE(is_fatal(ErrorKind::MismatchedEndTag));
  EXPECT_FALSE(is_fatal(ErrorKind::MissingEndTag));
  EXPECT_FALSE(is_fatal(ErrorKind::None));
}

// End names as validation and queries read them; the reader's other options serve no
// configuration the library uses.
INSTANTIATE_TEST_SUITE_P(
    Options, EventSequence,
    ::testing::Values(
        Case{"<a><b></a></b>",
             "Start(a)@3 Start(b)@6 MismatchedEndTag(b/a)@10 err@6 "
             "MismatchedEndTag(a/b)@14 err@10 Eof@14"},
        Case{"<a><b></a></b>", "Start(a)@3 Start(b)@6 End(a)@10 End(b)@14 Eof@14", true},
        Case{"<a></b><c/></a>",
             "Start(a)@3 MismatchedEndTag(a/b)@7 err@3 Empty(c)@11 "
             "UnmatchedEndTag(a)@15 err@11 Eof@15"},
        Case{"<a></b><c/></a>",
             "Start(a)@3 End(b)@7 Empty(c)@11 UnmatchedEndTag(a)@15 err@11 Eof@15", true}));

}  // namespace
}  // namespace varnex::xml
