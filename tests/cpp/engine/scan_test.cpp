// What the query table cannot say: the kind of each item, element-relative entry points,
// filter comparisons, and many paths capturing one element.
#include <cmath>

#include "engine/internal.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

// Spans where they may be, owned copies otherwise; an empty element is always a copy, as
// written; elements selected through any kind of filter are spans like the rest.
TEST(ItemKinds, SpansCopiesAndEmptyElements) {
  const std::string doc = "<r><a k=\"1\"><p>2</p></a><a  x=\"1\" /></r>";
  EXPECT_EQ(query(doc, "r.a"), (V{"S:<a k=\"1\"><p>2</p></a>", "M:<a  x=\"1\" />"}));
  EXPECT_EQ(query(doc, "r.a", false), (V{"M:<a k=\"1\"><p>2</p></a>", "M:<a  x=\"1\" />"}));
  EXPECT_EQ(query(doc, "r.a#(@k==1)"), V{"S:<a k=\"1\"><p>2</p></a>"});
  EXPECT_EQ(query(doc, "r.a#(p==2)"), V{"S:<a k=\"1\"><p>2</p></a>"});
  EXPECT_EQ(query(doc, "r.a#(p.#==1).p"), V{"S:<p>2</p>"});
  EXPECT_EQ(query(doc, "r.a.0.p.#|@count"), V{"V:1"});
}

// More paths capturing one element than are noted at its tag: each still gets its own.
TEST(ItemKinds, ManyPathsCaptureOneElement) {
  std::vector<std::string> paths;
  std::vector<V> expected;
  for (int i = 0; i < 12; ++i) {
    paths.push_back(i % 3 == 0 ? "r.a.#.@k" : (i % 3 == 1 ? "r.a" : "r.a.b"));
    expected.push_back(i % 3 == 0 ? V{"V:1"}
                                  : (i % 3 == 1 ? V{"S:<a k=\"1\"><b/></a>"} : V{"M:<b/>"}));
  }
  EXPECT_EQ(query_many("<r><a k=\"1\"><b/></a></r>", paths), expected);
}

// Paths relative to one element: attribute steps read its own tag, element steps its
// children, #text its text; whatever comes before it is not looked at. (Empty elements and
// the ambiguity guard are checked through Result.get_many in the Python suite.)
TEST(Within, ManyPaths) {
  EXPECT_EQ(query_many("  <!-- c --> <a id=\"7\">t<b/><b>1</b></a><b/>",
                       {"b|@count", "b.c", "@id", "#text", "b.#", "a"}, false, true),
            (std::vector<V>{{"V:2"}, {}, {"V:7"}, {"V:t1"}, {"V:2"}, {}}));
  EXPECT_EQ(query_many("", {"b|@count", "@x"}, false, true), (std::vector<V>{{"V:0"}, {}}));
  EXPECT_EQ(query_many("<a><b>1</b>", {"b"}, false, true), std::vector<V>{{"M:<b>1</b>"}});
}

TEST(Within, OnePathAsResultGetDoes) {
  RunOptions element;
  element.scope = RunOptions::Scope::Element;
  Items items;
  const auto program = compile_or_fail("b.#.c");
  ASSERT_FALSE(run_one(*program, "<a><b><c>1</c></b><b><c>2</c></b></a><b/>", items, element));
  EXPECT_EQ(render_all(items, ""), (V{"M:<c>1</c>", "M:<c>2</c>"}));
  const auto guarded = compile_or_fail("b.c");
  const auto error = run_one(*guarded, "<a><b/><b><c/></b></a>", items, element);
  ASSERT_TRUE(error);  // empty-element tags count for the guard here
  EXPECT_EQ(error->name, "b");
}

// The error says which path met it and where: no caller runs the paths again to find out.
TEST(Ambiguity, NamesThePathAndTheOffset) {
  const std::string doc = "<a><p><x/></p><p><b><c/></b><b><c/></b></p><y k='1'><z>1</z><z>2</z></y></a>";
  const size_t second_b = doc.find("<b>", doc.find("<b>") + 1);
  const auto plain = compile_or_fail("a.p.#.x");
  const auto guarded = compile_or_fail("a.p.#.b.c");
  const auto filtered = compile_or_fail("a.y#(@k=1).z.w");
  std::vector<Items> results;
  auto error = run_set({plain.get(), nullptr, guarded.get()}, doc, results, with_spans());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->program, 2u);
  EXPECT_EQ(error->offset, second_b);
  const std::vector<size_t> cuts = {doc.find("<p>", 4)};
  const auto cut = cut_at({plain.get(), guarded.get()}, doc, results, cuts, true);
  ASSERT_TRUE(cut && *cut);
  EXPECT_EQ((**cut).program, 1u);
  EXPECT_EQ((**cut).offset, second_b);
  error = run_set({plain.get(), filtered.get()}, doc, results, with_spans());
  ASSERT_TRUE(error);  // raised once the filter holds, from where the match was
  EXPECT_EQ(error->program, 1u);
  EXPECT_EQ(error->offset, doc.rfind("<z>"));
}

using path::CompareOp;
using path::FilterValue;
using K = FilterValue::Kind;

FilterValue num(double n) { return {K::Number, n, {}, false}; }
FilterValue str(std::string s) { return {K::Str, 0, std::move(s), false}; }
FilterValue boolean(bool b) { return {K::Bool, 0, {}, b}; }

TEST(Compare, Table) {
  using O = CompareOp;
  const struct {
    std::string subject;
    CompareOp op;
    FilterValue value;
    bool expected;
  } cases[] = {
      {" 12 ", O::Eq, num(12), true},        {"abc", O::Eq, num(0), false},
      {"abc", O::Ne, num(0), true},          {"nan", O::Ne, num(NAN), true},
      {" x", O::Eq, str("x"), false},        {"x", O::Ne, str("x"), false},
      {"True", O::Eq, boolean(true), false}, {"true", O::Ne, boolean(false), true},
      {"true", O::Gt, boolean(false), false}, {"10", O::Ge, num(10), true},
      {"10", O::Lt, num(10), false},         {"n/a", O::Lt, num(10), false},
      {"9", O::Lt, str(" 10 "), true},       {"9", O::Lt, str("ten"), false},
      {"bab", O::Like, str("a*"), false},    {"bab", O::NotLike, str("a*"), true},
      {"a:b", O::Like, str("a:?"), true},    {"5", O::Like, num(5), false},
      {"5", O::NotLike, num(5), false}};
  for (const auto& c : cases) {
    EXPECT_EQ(compare(c.subject, c.op, c.value), c.expected)
        << "'" << c.subject << "' op " << int(c.op);
  }
}

// Attribute values that are not UTF-8: given raw (references left as written), and failing an
// attribute test whatever the operator, on start tags and empty-element tags alike.
TEST(Filters, AttributesThatAreNotText) {
  const std::string doc = "<r><b k=\"\xFF\"/><b k=\"\xFF&amp;\">x</b><b k=\"1\"/></r>";
  EXPECT_EQ(query(doc, "r.b.#.@k"), (V{"V:\xFF", "V:\xFF&amp;", "V:1"}));
  EXPECT_EQ(query(doc, "r.b#(@k!=1)#"), V{});
  EXPECT_EQ(query_many(doc, {"r.b#(@k!=1)#", "r.b#(@k=1)"}),
            (std::vector<V>{{}, {"M:<b k=\"1\"/>"}}));
}

}  // namespace
}  // namespace varnex::engine::testing
