// Program shapes: which paths make list columns, the form fields run in, escaped names.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "path/compiler.hpp"
#include "path/describe.hpp"
#include "path/shape.hpp"
#include "path/wildcard.hpp"

namespace varnex::path {
namespace {

ProgramPtr program(const std::string& text) {
  auto compiled = compile(text);
  EXPECT_TRUE(std::holds_alternative<ProgramPtr>(compiled)) << text;
  return std::get<ProgramPtr>(compiled);
}

TEST(Shape, ListOrOneValue) {
  for (const char* each : {"a.#", "a.#.b", "**.a", "a#(b>1)#", "a#(b>1)#.c", "a.#|@sort",
                           "a.#.@x", "x.**.a|@unique"}) {
    EXPECT_TRUE(selects_each(*program(each))) << each;
  }
  for (const char* one : {"a", "a.b", "a.0.b", "a#(b>1)", "a.#|@count", "**.a|@first", "@x",
                          "a.#|@sum", "#text"}) {
    EXPECT_FALSE(selects_each(*program(one))) << one;
  }
  EXPECT_TRUE(yields_elements(*program("a.b|@last")));
  EXPECT_FALSE(yields_elements(*program("a.@b")));
  EXPECT_FALSE(yields_elements(*program("a|@count")));
}

TEST(Shape, FieldsFollowEveryMatch) {
  const auto every = [](const char* text) { return describe(*every_match(program(text))); };
  EXPECT_EQ(every("a.b.c"), "a[each] / b[each] / c");
  EXPECT_EQ(every("a.#"), "a[each]");
  EXPECT_EQ(every("a.1.b#(c>1).d|@first"), "a[1] / b[first (c > #1)] / d | first ; collect-all");
  EXPECT_EQ(every("a.@x"), "a[each] / @x");
  const ProgramPtr plain = program("a");
  EXPECT_EQ(every_match(plain), plain);  // nothing to change: the program itself
  EXPECT_EQ(describe(*each_at_end(program("a.b.#"))), "a / b[each]");
}

TEST(Shape, EscapedNamesMatchThemselves) {
  for (const char* name : {"a.b", "5", "12", "x*", "a?", "#text", "@at", "q'uote", "d\"q", "p|q",
                           "(p)", "b\\s", "x:y", "caf\xC3\xA9", "a-1"}) {
    const std::string step = escape_name(name);
    const ProgramPtr p = program("r." + step);
    ASSERT_EQ(p->steps.size(), 2u) << step;
    const Step& s = p->steps[1];
    EXPECT_EQ(s.kind, StepKind::Element) << step;
    EXPECT_EQ(s.selector.kind, SelectorKind::Bare) << step;
    EXPECT_EQ(s.name.kind(), NameMatcher::Kind::Exact) << step;
    EXPECT_EQ(s.name.text(), name) << step;
    EXPECT_EQ(program("r.@" + step)->steps[1].attr, name) << step;
  }
  EXPECT_EQ(escape_name("x:y-z_1"), "x:y-z_1");
}

}  // namespace
}  // namespace varnex::path
