// Filters: the comparison table and the attribute, streaming and general tests.
#include <cmath>

#include "engine/internal.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

using V = std::vector<std::string>;
using path::CompareOp;
using path::FilterValue;

FilterValue num(double n) {
  FilterValue v;
  v.kind = FilterValue::Kind::Number;
  v.number = n;
  return v;
}
FilterValue str(std::string s) {
  FilterValue v;
  v.kind = FilterValue::Kind::Str;
  v.str = std::move(s);
  return v;
}
FilterValue boolean(bool b) {
  FilterValue v;
  v.kind = FilterValue::Kind::Bool;
  v.boolean = b;
  return v;
}

struct CompareCase {
  std::string subject;
  CompareOp op;
  FilterValue value;
  bool expected;
};

class Compare : public ::testing::TestWithParam<CompareCase> {};

TEST_P(Compare, Table) {
  const CompareCase& c = GetParam();
  EXPECT_EQ(compare(c.subject, c.op, c.value), c.expected)
      << "subject '" << c.subject << "' op " << int(c.op);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Compare,
    ::testing::Values(CompareCase{" 12 ", CompareOp::Eq, num(12), true},
                      CompareCase{"12.0", CompareOp::Eq, num(12), true},
                      CompareCase{"abc", CompareOp::Eq, num(0), false},
                      CompareCase{"abc", CompareOp::Ne, num(0), true},
                      CompareCase{"nan", CompareOp::Ne, num(NAN), true},
                      CompareCase{" x", CompareOp::Eq, str("x"), false},
                      CompareCase{"x", CompareOp::Eq, str("x"), true},
                      CompareCase{"x", CompareOp::Ne, str("x"), false},
                      CompareCase{"true", CompareOp::Eq, boolean(true), true},
                      CompareCase{"True", CompareOp::Eq, boolean(true), false},
                      CompareCase{"false", CompareOp::Eq, boolean(false), true},
                      CompareCase{"true", CompareOp::Ne, boolean(false), true},
                      CompareCase{"true", CompareOp::Gt, boolean(false), false},
                      CompareCase{" 12 ", CompareOp::Gt, num(10), true},
                      CompareCase{"10", CompareOp::Ge, num(10), true},
                      CompareCase{"10", CompareOp::Lt, num(10), false},
                      CompareCase{"9", CompareOp::Le, num(10), true},
                      CompareCase{"n/a", CompareOp::Gt, num(10), false},
                      CompareCase{"n/a", CompareOp::Lt, num(10), false},
                      CompareCase{"9", CompareOp::Lt, str(" 10 "), true},
                      CompareCase{"9", CompareOp::Lt, str("ten"), false},
                      CompareCase{"abc", CompareOp::Like, str("a*"), true},
                      CompareCase{"bab", CompareOp::Like, str("a*"), false},
                      CompareCase{"bab", CompareOp::NotLike, str("a*"), true},
                      CompareCase{"a:b", CompareOp::Like, str("a:?"), true},
                      CompareCase{"5", CompareOp::Like, num(5), false},
                      CompareCase{"5", CompareOp::NotLike, num(5), false}));

class Filter : public ::testing::TestWithParam<QueryCase> {};

TEST_P(Filter, Items) {
  const QueryCase& c = GetParam();
  EXPECT_EQ(query(c.doc, c.path, c.spans), c.expected);
}

const char* const kItems =
    "<r><item id=\"1\"><price> 12 </price><name>a</name><name>b</name></item>"
    "<item id=\"2\"><price>n/a</price><name>c</name></item>"
    "<item id=\"3\"><name>d</name></item>"
    "<item id=\"4\"><price>20</price><name>e</name></item></r>";

INSTANTIATE_TEST_SUITE_P(
    Streaming, Filter,
    ::testing::Values(
        QueryCase{kItems, "r.item#(price > 10).@id", true, V{"V:1"}},
        QueryCase{kItems, "r.item#(price > 10)#.@id", true, V{"V:1", "V:4"}},
        QueryCase{kItems, "r.item#(price > 10)#.name", true,
                  V{"S:<name>a</name>", "S:<name>b</name>", "S:<name>e</name>"}},
        QueryCase{kItems, "r.item#(price > 10)#.name", false,
                  V{"M:<name>a</name>", "M:<name>b</name>", "M:<name>e</name>"}},
        QueryCase{kItems, "r.item#(price > 10)#.name.1", true, V{"S:<name>b</name>"}},
        QueryCase{kItems, "r.item#(name != \"x\")#.@id", true, V{"V:1", "V:2", "V:3", "V:4"}},
        QueryCase{kItems, "r.item#(price != 5)#.@id", true, V{"V:1", "V:2", "V:4"}},
        QueryCase{"<r><i><p>5</p></i><i><p>15</p></i></r>", "r.i#(p > 10)", true,
                  V{"S:<i><p>15</p></i>"}},
        // The filter child can also be the selected one.
        QueryCase{"<r><i><p>15</p><p>1</p></i></r>", "r.i#(p > 10).p", true,
                  V{"S:<p>15</p>", "S:<p>1</p>"}},
        QueryCase{"<r><i><p/></i></r>", "r.i#(p == \"\")", true, V{"S:<i><p/></i>"}},
        QueryCase{"<r><i><p>1</p><p>50</p></i></r>", "r.i#(p > 10)", true, V{}}));

INSTANTIATE_TEST_SUITE_P(
    Attribute, Filter,
    ::testing::Values(
        QueryCase{"<r><item id=\"1\"/><item id=\"2\"><x/></item></r>", "r.item#(@id == 2)", true,
                  V{"S:<item id=\"2\"><x/></item>"}},
        QueryCase{"<r><item id=\"2\"/></r>", "r.item#(@id == 2)", true, V{"M:<item id=\"2\"/>"}},
        QueryCase{"<r><i x=\"abc\">1</i><i x=\"bab\">2</i></r>", "r.i#(@x % \"a*\")#", true,
                  V{"S:<i x=\"abc\">1</i>"}},
        QueryCase{"<r><i x=\"abc\">1</i></r>", "r.i#(@x % 5)#", true, V{}},
        QueryCase{"<r><i x=\"\xFF\">1</i><i>2</i></r>", "r.i#(@x != 1)#", true, V{}},
        QueryCase{"<r><i k=\"a\"><t>1</t></i><i k=\"a\"><t>2</t></i></r>", "r.i#(@k==a).t", true,
                  V{"S:<t>1</t>"}},
        QueryCase{"<r><i k=\"a\"><t>1</t></i><i k=\"a\"><t>2</t></i></r>", "r.i#(@k==a)#.t",
                  true, V{"S:<t>1</t>", "S:<t>2</t>"}},
        // FilterFirst keeps looking while the descent finds nothing...
        QueryCase{"<r><i k=\"a\"></i><i k=\"a\"><t>2</t></i></r>", "r.i#(@k==a).t", true,
                  V{"S:<t>2</t>"}},
        // ...but an empty element that passes settles the step.
        QueryCase{"<r><i k=\"a\"/><i k=\"a\"><t>2</t></i></r>", "r.i#(@k==a).t", true, V{}}));

INSTANTIATE_TEST_SUITE_P(
    General, Filter,
    ::testing::Values(
        QueryCase{"<r><i><b><c>1</c></b></i><i><b><c>5</c></b></i></r>", "r.i#(b.c == 5)", true,
                  V{"M:<i><b><c>5</c></b></i>"}},
        QueryCase{"<r><i><b><c>1</c></b><b/></i></r>", "r.i#(b.c == 1)", true,
                  V{"ambiguous:b"}},
        QueryCase{"<r><i><t>x</t><n>1</n></i><i><t>y</t><n>2</n></i></r>", "r.i#(t==y).n.#text",
                  true, V{"V:2"}},
        QueryCase{"<r><i><t>3</t></i><i><t>7</t></i></r>", "r.i#(#text > 5)", true,
                  V{"M:<i><t>7</t></i>"}},
        QueryCase{"<r><i><x><t>9</t></x></i></r>", "r.i#(**.t == 9)#", true,
                  V{"M:<i><x><t>9</t></x></i>"}},
        QueryCase{"<r><i><a>1</a><a>2</a></i></r>", "r.i#(a.# == 2)", true,
                  V{"M:<i><a>1</a><a>2</a></i>"}},
        // The general test stops the pass even when the rest of the path finds nothing.
        QueryCase{"<r><i><t>x</t></i><i><t>x</t><n>1</n></i></r>", "r.i#(t==x).n.#text", true,
                  V{}}));

TEST(Filter, SimpleChildFilterAndCollect) {
  const auto program = compile_or_fail("r.i#(p>10).n");
  ASSERT_TRUE(program);
  const path::Step& i_step = program->steps[1];
  const path::Filter& filter = *i_step.selector.filter;
  const path::Step& p_step = filter.path.front();
  const path::Step& n_step = program->steps[2];
  const std::string element = "<i><n>a</n><p>12</p><n/><p>1</p><x><n>no</n></x></i>";

  Items items;
  EXPECT_TRUE(eval_simple_child_filter_and_collect(element, p_step, filter, n_step,
                                                   TerminalKind::Capture, items));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(render(items[0], element), "M:<n>a</n>");
  EXPECT_EQ(render(items[1], element), "M:<n/>");

  items.clear();
  EXPECT_TRUE(eval_simple_child_filter_and_collect(element, p_step, filter, n_step,
                                                   TerminalKind::Text, items));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(render(items[0], element), "V:a");
  EXPECT_EQ(render(items[1], element), "V:");

  items.clear();
  EXPECT_FALSE(eval_simple_child_filter_and_collect("<i><n>a</n><p>3</p></i>", p_step, filter,
                                                    n_step, TerminalKind::Marker, items));
  EXPECT_TRUE(items.empty());
  // A missing subject is compared as the empty text: "" != 1 holds.
  const auto ne = compile_or_fail("r.i#(p!=1).n");
  ASSERT_TRUE(ne);
  EXPECT_TRUE(eval_simple_child_filter_and_collect(
      "<i><n>z</n></i>", ne->steps[1].selector.filter->path.front(), *ne->steps[1].selector.filter,
      ne->steps[2], TerminalKind::Marker, items));
  EXPECT_EQ(items.size(), 1u);
  // A descendant collecting step is refused.
  const auto desc = compile_or_fail("r.i#(p!=1).**.n");
  ASSERT_TRUE(desc);
  EXPECT_FALSE(eval_simple_child_filter_and_collect(
      "<i><n>z</n></i>", desc->steps[1].selector.filter->path.front(),
      *desc->steps[1].selector.filter, desc->steps[2], TerminalKind::Marker, items));
}

}  // namespace
}  // namespace varnex::engine::testing
