// Malformed input: which errors stop the reader, where they leave it, and
// that every later read is Eof.
#include <gtest/gtest.h>

#include "render.hpp"

namespace varnex::xml {
namespace {

using testing::render_all;

struct Case {
  std::string_view input;
  std::string_view expected;
};

class Malformed : public ::testing::TestWithParam<Case> {};

TEST_P(Malformed, RendersExactly) {
  EXPECT_EQ(render_all(GetParam().input), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, Malformed,
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
    IllFormed, Malformed,
    ::testing::Values(
        Case{"</x><a/>", "UnmatchedEndTag(x)@4 err@0 Empty(a)@8 Eof@8"},
        Case{"<!DOCTYPE>", "MissingDoctypeName@10 err@9 Eof@10"},
        Case{"<!DOCTYPE   >x", "MissingDoctypeName@13 err@12 Text(x)@14 Eof@14"},
        Case{"<a></b></a>",
             "Start(a)@3 MismatchedEndTag(a/b)@7 err@3 UnmatchedEndTag(a)@11 err@7 Eof@11"}));

// After Eof or a fatal error the position stays and reads keep giving Eof.
TEST(Malformed, TerminalStateIsSticky) {
  for (std::string_view input : {"<a", "text<!x>", "<a/>", "", "<![CDATA[x"}) {
    Reader r(input);
    Event ev;
    do {
      ev = r.read_event();
    } while (ev.kind != EventKind::Eof);
    const size_t pos = r.buffer_position();
    const size_t err = r.error_position();
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(r.read_event().kind, EventKind::Eof) << input;
      EXPECT_EQ(r.buffer_position(), pos) << input;
      EXPECT_EQ(r.error_position(), err) << input;
    }
  }
}

TEST(Malformed, FatalKindsAreClassified) {
  EXPECT_TRUE(is_fatal(ErrorKind::UnclosedTag));
  EXPECT_TRUE(is_fatal(ErrorKind::UnclosedPIOrXmlDecl));
  EXPECT_FALSE(is_fatal(ErrorKind::MismatchedEndTag));
  EXPECT_FALSE(is_fatal(ErrorKind::MissingEndTag));
  EXPECT_FALSE(is_fatal(ErrorKind::None));
}

}  // namespace
}  // namespace varnex::xml
