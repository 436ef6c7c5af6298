// The element walk: selectors, the ambiguity rule, early stops, descendant search, odd documents.
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

TEST_P(Query, Items) {
  const QueryCase& c = GetParam();
  EXPECT_EQ(query(c.doc, c.path, c.spans), c.expected);
}

const char* const kThree = "<a><b>1</b><b>2</b><b>3</b></a>";

INSTANTIATE_TEST_SUITE_P(
    Selectors, Query,
    ::testing::Values(
        QueryCase{kThree, "a.b", {"M:<b>1</b>", "M:<b>2</b>", "M:<b>3</b>"}, false},
        QueryCase{kThree, "a.b.1", {"S:<b>2</b>"}}, QueryCase{kThree, "a.b.7", {}},
        QueryCase{kThree, "a.b.#", {"V:3"}}, QueryCase{"<r/>", "a.#", {"V:0"}},
        QueryCase{kThree, "a.b.#.#text", {"V:1", "V:2", "V:3"}},
        QueryCase{"<a><b/><b>x</b></a>", "a.b.0", {"M:<b/>"}},
        QueryCase{"<a><p:b>1</p:b><b>2</b></a>", "a.b", {"S:<p:b>1</p:b>", "S:<b>2</b>"}},
        QueryCase{"<x><y id=\"7\">t</y></x>", "x.y.@id", {"V:7"}},
        QueryCase{"<x>a<y>b</y>c</x>", "x.#text", {"V:abc"}},
        QueryCase{"<x a=\"3\"/>", "x.0.#text", {"V:"}},
        QueryCase{"<x/>", "#text", {"V:"}}, QueryCase{"<x id=\"1\"/>", "@id", {}}));

INSTANTIATE_TEST_SUITE_P(
    Ambiguity, Query,
    ::testing::Values(
        QueryCase{"<a><b><c>1</c></b><b/></a>", "a.b.c", {"ambiguous:b"}},
        QueryCase{"<a><b/><b/></a>", "a.b.0.c", {}},
        // The pass stops after the first item, before the second b is read.
        QueryCase{"<r><b><c>1</c></b><b/></r>", "r.b.c|@first", {"S:<c>1</c>"}},
        QueryCase{"<x><p><a/></p><a/></x>", "x.a.c", {}},
        QueryCase{"<x><a/></x><x><a/></x>", "x.a.c", {"ambiguous:x"}},
        QueryCase{"<r><w*>1</w*><wx>2</wx></r>", "r.w*.x", {"ambiguous:w*"}}));

INSTANTIATE_TEST_SUITE_P(
    Descendant, Query,
    ::testing::Values(
        // A match is captured whole; nothing inside it is searched again.
        QueryCase{"<r><t>1<t>2</t></t><x><t>3</t></x></r>", "**.t",
                  {"S:<t>1<t>2</t></t>", "S:<t>3</t>"}},
        QueryCase{"<r><t a=\"1\"/><x><t a=\"2\">z</t></x></r>", "**.t.@a", {"V:1", "V:2"}},
        QueryCase{"<r><a><b>1</b></a><a><b>2</b></a></r>", "**.a.b.0",
                  {"S:<b>1</b>", "S:<b>2</b>"}},
        QueryCase{"<r><a><b>1</b><b>2</b></a></r>", "**.a.b.c", {"ambiguous:b"}}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, Query,
    ::testing::Values(
        QueryCase{"<r><a>1</a><a>2", "r.a", {"S:<a>1</a>", "S:<a>2"}},
        QueryCase{"<a><b></c></a>", "a.b", {"S:<b></c></a>"}},
        QueryCase{"<r><a>1</a><!x><a>2</a></r>", "r.a", {"S:<a>1</a>"}},
        QueryCase{"<r><a>1</a></r></r><r><a>2</a></r>", "**.a", {"S:<a>1</a>"}},
        QueryCase{"<r><a x='1>2</a></r>", "r.a", {}},
        QueryCase{"<r><a>&bad;</a></r>", "r.a.#text", {"V:"}}));

// The pass ends as soon as the result is settled: garbage after the match is never read.
TEST(WalkStops, SettledResultsDoNotReadFurther) {
  const std::string tail = "<b>late</b><!bad";
  EXPECT_EQ(query("<a><b>1</b><b>2</b>" + tail, "a.b.1"), V{"S:<b>2</b>"});
  EXPECT_EQ(query("<r><a>1</a><a>2</a>" + tail, "r.a|@first"), V{"S:<a>1</a>"});
  // A second root would be ambiguous, so these pass only if the first match ends the pass.
  EXPECT_EQ(query("<r><a>1</a></r><r/>", "r.a.0"), V{"S:<a>1</a>"});
  EXPECT_EQ(query("<r><a k=\"1\">x</a></r><r/>", "r.a#(@k==1)"), V{"S:<a k=\"1\">x</a>"});
  EXPECT_EQ(query("<r><a><p>2</p></a></r><r/>", "r.a#(p>1)"), V{"S:<a><p>2</p></a>"});
  EXPECT_EQ(query("<r><a><p>2</p></a></r><r/>", "r.a#(p.#>0)"), V{"S:<a><p>2</p></a>"});
  // Inside an Each scope only the current element's rest is skipped, nested levels included.
  EXPECT_EQ(query("<r><a><b>1</b><b>2</b></a><a><b>3</b><b>4</b></a></r>", "r.a.#.b.1"),
            (V{"S:<b>2</b>", "S:<b>4</b>"}));
  EXPECT_EQ(query("<r><s><a>1</a><s><a>9</a></s></s></r>", "r.s.#.a.0"), V{"S:<a>1</a>"});
}

}  // namespace
}  // namespace varnex::engine::testing
