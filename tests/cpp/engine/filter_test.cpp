// Filters: the comparison table and the attribute, streaming and general tests.
#include <cmath>

#include "engine/internal.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

using path::CompareOp;
using path::FilterValue;
using K = FilterValue::Kind;

struct CompareCase {
  std::string subject;
  CompareOp op;
  FilterValue value;
  bool expected;
};

FilterValue num(double n) { return {K::Number, n, {}, false}; }
FilterValue str(std::string s) { return {K::Str, 0, std::move(s), false}; }
FilterValue boolean(bool b) { return {K::Bool, 0, {}, b}; }

class Compare : public ::testing::TestWithParam<CompareCase> {};

TEST_P(Compare, Table) {
  const CompareCase& c = GetParam();
  EXPECT_EQ(compare(c.subject, c.op, c.value), c.expected)
      << "'" << c.subject << "' op " << int(c.op);
}

using O = CompareOp;
INSTANTIATE_TEST_SUITE_P(
    Cases, Compare,
    ::testing::Values(
        CompareCase{" 12 ", O::Eq, num(12), true}, CompareCase{"abc", O::Eq, num(0), false},
        CompareCase{"abc", O::Ne, num(0), true}, CompareCase{"nan", O::Ne, num(NAN), true},
        CompareCase{" x", O::Eq, str("x"), false}, CompareCase{"x", O::Ne, str("x"), false},
        CompareCase{"True", O::Eq, boolean(true), false},
        CompareCase{"true", O::Ne, boolean(false), true},
        CompareCase{"true", O::Gt, boolean(false), false},
        CompareCase{"10", O::Ge, num(10), true}, CompareCase{"10", O::Lt, num(10), false},
        CompareCase{"n/a", O::Lt, num(10), false}, CompareCase{"9", O::Lt, str(" 10 "), true},
        CompareCase{"9", O::Lt, str("ten"), false}, CompareCase{"bab", O::Like, str("a*"), false},
        CompareCase{"bab", O::NotLike, str("a*"), true},
        CompareCase{"a:b", O::Like, str("a:?"), true},
        CompareCase{"5", O::Like, num(5), false}, CompareCase{"5", O::NotLike, num(5), false}));

const char* const kItems =
    "<r><item id=\"1\"><price> 12 </price><name>a</name><name>b</name></item>"
    "<item id=\"2\"><price>n/a</price><name>c</name></item>"
    "<item id=\"3\"><name>d</name></item>"
    "<item id=\"4\"><price>20</price><name>e</name></item></r>";

INSTANTIATE_TEST_SUITE_P(
    StreamingFilter, Query,
    ::testing::Values(
        QueryCase{kItems, "r.item#(price > 10).@id", {"V:1"}},
        QueryCase{kItems, "r.item#(price > 10)#.name",
                  {"S:<name>a</name>", "S:<name>b</name>", "S:<name>e</name>"}},
        QueryCase{kItems, "r.item#(price > 10)#.name.1", {"M:<name>b</name>"}, false},
        QueryCase{kItems, "r.item#(price != 5)#.@id", {"V:1", "V:2", "V:4"}},
        // The filter child can also be a selected one.
        QueryCase{"<r><i><p>15</p><p>1</p></i></r>", "r.i#(p > 10).p",
                  {"S:<p>15</p>", "S:<p>1</p>"}},
        QueryCase{"<r><i><p/></i></r>", "r.i#(p == \"\")", {"S:<i><p/></i>"}},
        QueryCase{"<r><i><p>1</p><p>50</p></i></r>", "r.i#(p > 10)", {}}));

INSTANTIATE_TEST_SUITE_P(
    AttributeFilter, Query,
    ::testing::Values(
        QueryCase{"<r><item id=\"1\"/><item id=\"2\"><x/></item></r>", "r.item#(@id == 2)",
                  {"S:<item id=\"2\"><x/></item>"}},
        QueryCase{"<r><i x=\"abc\">1</i><i x=\"bab\">2</i></r>", "r.i#(@x % \"a*\")#",
                  {"S:<i x=\"abc\">1</i>"}},
        QueryCase{"<r><i x=\"\xFF\">1</i><i>2</i></r>", "r.i#(@x != 1)#", {}},
        // FilterFirst keeps looking while the descent finds nothing...
        QueryCase{"<r><i k=\"a\"></i><i k=\"a\"><t>2</t></i></r>", "r.i#(@k==a).t", {"S:<t>2</t>"}},
        // ...but an empty element that passes settles the step.
        QueryCase{"<r><i k=\"a\"/><i k=\"a\"><t>2</t></i></r>", "r.i#(@k==a).t", {}}));

INSTANTIATE_TEST_SUITE_P(
    GeneralFilter, Query,
    ::testing::Values(
        QueryCase{"<r><i><b><c>1</c></b></i><i><b><c>5</c></b></i></r>", "r.i#(b.c == 5)",
                  {"S:<i><b><c>5</c></b></i>"}},
        QueryCase{"<r><i><b><c>1</c></b><b/></i></r>", "r.i#(b.c == 1)", {"ambiguous:b"}},
        QueryCase{"<r><i><t>3</t></i><i><t>7</t></i></r>", "r.i#(#text > 5)",
                  {"S:<i><t>7</t></i>"}},
        QueryCase{"<r><i><a>1</a><a>2</a></i></r>", "r.i#(a.# == 2)",
                  {"S:<i><a>1</a><a>2</a></i>"}},
        // The filter held, so the pass stops even though the rest of the path found nothing.
        QueryCase{"<r><i><t>x</t></i><i><t>x</t><n>1</n></i></r>", "r.i#(t==x).n.#text", {}}));

}  // namespace
}  // namespace varnex::engine::testing
