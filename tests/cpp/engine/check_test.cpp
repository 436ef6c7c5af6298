// The strict check's report: where the first error is, in the caller's terms.
#include "engine/check.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varnex::engine {
namespace {

TEST(ElementPath, NamesTheElementsAroundAnOffset) {
  const std::string_view doc = "<r><i/><i><b/></i><i x='1'><b/><b>t</b></i></r>";
  EXPECT_EQ(element_path_at(doc, 0), "r");                         // inside the root's tag
  EXPECT_EQ(element_path_at(doc, 3), "r.i");                       // the first <i/>
  EXPECT_EQ(element_path_at(doc, 10), "r.i[1].b");                 // empty elements count
  EXPECT_EQ(element_path_at(doc, 20), "r.i[2]");                   // inside its attributes
  EXPECT_EQ(element_path_at(doc, 35), "r.i[2].b[1]");              // its text
  EXPECT_EQ(element_path_at(doc, 36), "r.i[2].b[1]");              // its end tag
  EXPECT_EQ(element_path_at(doc, doc.size() - 1), "r");            // the root's end tag
  EXPECT_EQ(element_path_at("<r/> x", 5), "");                     // after the root
  EXPECT_EQ(element_path_at("<a><b></a><c>", 13), "a.c");          // end tags close the top
}

TEST(CheckReport, LocatesInLinesColumnsAndTheCallersBytes) {
  const CheckReport ok = check_document("<r/>", false);
  EXPECT_TRUE(ok.ok);
  const CheckReport crlf = check_document("<r>\r\n\r<a>\xC3\xA9&x;</a></r>", false);
  EXPECT_FALSE(crlf.ok);
  EXPECT_EQ(crlf.message, "entity 'x' is not declared");
  EXPECT_EQ(crlf.offset, 11u);
  EXPECT_EQ(crlf.chars_before, 10u);
  EXPECT_EQ(crlf.line, 3u);  // CR LF and a lone CR end one line each
  EXPECT_EQ(crlf.column, 5u);
  EXPECT_EQ(crlf.path, "r.a");
  // A UTF-8 mark is counted in offsets, not in the first line's columns.
  const CheckReport marked = check_document("\xEF\xBB\xBF<r>&x;</r>", false);
  EXPECT_EQ(marked.offset, 6u);
  EXPECT_EQ(marked.column, 4u);
  // windows-1252 bytes decoded: one byte a character.
  const CheckReport latin =
      check_document("<?xml version='1.0' encoding='latin1'?><r>\xE9\xE9&x;</r>", false);
  EXPECT_EQ(latin.offset, 44u);
  EXPECT_EQ(latin.column, 45u);
  // Shift_JIS bytes cannot be counted back.
  const CheckReport sjis =
      check_document("<?xml version='1.0' encoding='Shift_JIS'?><r>\x93\xfa&x;</r>", false);
  EXPECT_EQ(sjis.offset, CheckReport::kUnknown);
  EXPECT_EQ(sjis.column, 47u);
}

}  // namespace
}  // namespace varnex::engine
