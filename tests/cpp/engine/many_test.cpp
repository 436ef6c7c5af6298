// The multi-path scan: shared passes, selectors, collect modes, early stops,
// odd documents, deep nesting, and agreement with single-path evaluation.
#include <algorithm>
#include <random>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

// One rendered sequence per path (an empty text stands for a missing program), or one
// "ambiguous:<name>" entry.
std::vector<V> query_many(std::string_view doc, const std::vector<std::string>& paths,
                          bool spans = true, bool within = false) {
  std::vector<path::ProgramPtr> owned;
  std::vector<const path::Program*> programs;
  for (const std::string& p : paths) {
    owned.push_back(p.empty() ? nullptr : compile_or_fail(p));
    programs.push_back(owned.back().get());
  }
  std::vector<Items> results;
  const auto err =
      within ? run_many_within(programs, doc, results) : run_many(programs, doc, spans, results);
  if (err) return {{"ambiguous:" + err->name}};
  std::vector<V> out;
  for (const Items& items : results) out.push_back(render_all(items, doc));
  return out;
}

struct ManyCase {
  std::string doc;
  std::vector<std::string> paths;
  std::vector<V> expected;
  bool spans = true;
};

std::ostream& operator<<(std::ostream& os, const ManyCase& c) {
  os << c.doc << " with";
  for (const auto& p : c.paths) os << " [" << p << "]";
  return os;
}

class Many : public ::testing::TestWithParam<ManyCase> {};

TEST_P(Many, Items) {
  const ManyCase& c = GetParam();
  EXPECT_EQ(query_many(c.doc, c.paths, c.spans), c.expected);
}

const char* const kShop = "<a><b id=\"1\">x</b><c>y</c><b id=\"2\"><d>z</d></b><c/></a>";

INSTANTIATE_TEST_SUITE_P(
    SharedPass, Many,
    ::testing::Values(ManyCase{kShop,
                               {"a.b", "a.b"},
                               {{"M:<b id=\"1\">x</b>", "M:<b id=\"2\"><d>z</d></b>"},
                                {"M:<b id=\"1\">x</b>", "M:<b id=\"2\"><d>z</d></b>"}},
                               false},
                      ManyCase{kShop, {"", "a.c.0", ""}, {{}, {"S:<c>y</c>"}, {}}},
                      ManyCase{"", {"a", "a.#"}, {{}, {"V:0"}}}));

INSTANTIATE_TEST_SUITE_P(
    Selectors, Many,
    ::testing::Values(
        // A Count step yields one value per entered level, "0" when nothing matched.
        ManyCase{"<r><a><b/><b>1</b></a><a/><a><x/></a></r>", {"r.a.#.b.#"}, {{"V:2", "V:0", "V:0"}}},
        ManyCase{"<r><x><b>1</b></x><b>2<b>3</b></b></r>",
                 {"**.b", "r.**.b"},
                 {{"S:<b>1</b>", "S:<b>2<b>3</b></b>"}, {"S:<b>1</b>", "S:<b>2<b>3</b></b>"}}},
        // Empty elements are copies even when spans are wanted.
        ManyCase{"<r><b k=\"v\"/></r>", {"r.b", "r.b.@k"}, {{"M:<b k=\"v\"/>"}, {"V:v"}}},
        ManyCase{"<r/>", {"#text", "@x"}, {{"V:"}, {}}}));

INSTANTIATE_TEST_SUITE_P(
    Filters, Many,
    ::testing::Values(
        ManyCase{
            "<r><b k=\"1\">a</b><b k=\"2\">b</b><b k=\"2\">c</b></r>",
            {"r.b#(@k=2)", "r.b#(@k=2)#", "r.b#(@k=2)#.#text"},
            {{"S:<b k=\"2\">b</b>"}, {"S:<b k=\"2\">b</b>", "S:<b k=\"2\">c</b>"}, {"V:b", "V:c"}}},
        // A missing filter child is no subject, whoever evaluates the filter.
        ManyCase{"<r><b><n>x</n></b></r>", {"r.b#(p!=1).n", "r.b.#.n"}, {{}, {"S:<n>x</n>"}}},
        // The filter's child may also be what is collected.
        ManyCase{
            "<r><b><n>1</n></b></r>", {"r.b#(n=1).n", "r.b.#.n"}, {{"S:<n>1</n>"}, {"S:<n>1</n>"}}},
        ManyCase{
            "<r><b><c>1</c><c>2</c></b></r>", {"r.b#(c=1).c.x", "r.b.#.c"}, {{"ambiguous:c"}}},
        // Empty elements: an attribute that is not UTF-8 fails the test whatever the
        // operator, and a first-match filter is served once.
        ManyCase{"<r><b k=\"\xFF\"/><b k=\"1\"/><b k=\"1\"/></r>",
                 {"r.b#(@k!=1)#", "r.b#(@k=1)", "r.b.#"},
                 {{}, {"M:<b k=\"1\"/>"}, {"V:3"}}}));

INSTANTIATE_TEST_SUITE_P(
    CollectModes, Many,
    ::testing::Values(ManyCase{"<r><a>2</a><a>1</a><a/></r>",
                               {"r.a|@count", "r.a|@sort"},
                               {{"V:3"}, {"M:<a/>", "V:1", "V:2"}}},
                      ManyCase{"<r><a>2</a><a>1</a></r>",
                               {"r.a|@first", "r.a|@last", "r.a.0|@first"},
                               {{"V:2"}, {"V:1"}, {"S:<a>2</a>"}}},
                      // A path settled early does not end the pass for the others.
                      ManyCase{
                          "<r><a>2</a><a>1</a></r>", {"r.a|@first", "r.a.#"}, {{"V:2"}, {"V:2"}}}));

INSTANTIATE_TEST_SUITE_P(
    Ambiguity, Many,
    ::testing::Values(ManyCase{"<a><b><c/></b><b/></a>", {"a.b.c"}, {{"M:<c/>"}}},
                      ManyCase{"<a><b><c/></b><b></b></a>", {"a.c", "a.b.c"}, {{"ambiguous:b"}}},
                      ManyCase{
                          "<a><b><c>1</c></b><b><c>2</c></b></a>", {"a.b.c|@first"}, {{"V:1"}}},
                      ManyCase{"<r/><r></r>", {"r.a"}, {{}}},
                      ManyCase{"<r></r><r></r>", {"r.a"}, {{"ambiguous:r"}}}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, Many,
    ::testing::Values(ManyCase{"<a><b></c></a>", {"a.b"}, {{"S:<b></c></a>"}}},
                      ManyCase{"<r><a>1</a></r></r><r><a>2</a></r>", {"r.a"}, {{"S:<a>1</a>"}}},
                      ManyCase{"<<<>>>", {"a", "**.b", "@x"}, {{}, {}, {}}}));

// --- the element-relative scan --------------------------------------------

// Here each doc is one element and the paths are relative to it.
class Within : public Many {};

TEST_P(Within, Items) {
  EXPECT_EQ(query_many(GetParam().doc, GetParam().paths, false, true), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Element, Within,
    ::testing::Values(ManyCase{"  <!-- c --> <a><b/><b/></a>", {"b|@count", "b.c"}, {{"V:2"}, {}}},
                      ManyCase{"<a><b></b><b></b></a>", {"b|@count", "b.c"}, {{"ambiguous:b"}}},
                      ManyCase{"", {"b|@count", "@x"}, {{"V:0"}, {}}},
                      ManyCase{"<a><b>1</b>", {"b"}, {{"M:<b>1</b>"}}}));

// --- agreement with single-path evaluation --------------------------------

// Documents from a few names, attributes and texts, some elements empty.
std::string random_element(std::mt19937& rng, int depth) {
  static const char* const kNames[] = {"a", "b", "c", "p:b"};
  const std::string name = kNames[rng() % 4];
  std::string out = "<" + name;
  if (rng() % 3 == 0) out += " k=\"" + std::to_string(rng() % 3) + "\"";
  if (depth > 3 || rng() % 5 == 0) return out + "/>";
  out += ">";
  const int children = static_cast<int>(rng() % 4);
  for (int i = 0; i < children; ++i) {
    if (rng() % 3 == 0) out += std::to_string(rng() % 10);
    out += random_element(rng, depth + 1);
  }
  if (rng() % 2 == 0) out += std::to_string(rng() % 10);
  return out + "</" + name + ">";
}

// Element items as their bytes: a filter's matches may be copies where the
// walk keeps spans.
V as_elements(V rendered) {
  for (std::string& r : rendered) {
    if (r.rfind("S:", 0) == 0 || r.rfind("M:", 0) == 0) r[0] = 'E';
  }
  return rendered;
}

// Paths whose non-last Bare steps cannot meet an empty element (the one place
// the two guards are allowed to differ).
// clang-format off
const char* const kAgreeingPaths[] = {
    "r.a", "r.b", "r.#", "r.a.#.b", "r.a.1", "r.*.#.c.0", "**.b", "**.c.@k", "r.a.#.#text",
    "r.b.#.@k", "**.a.#text", "r.a.#.b.#.c", "r.a#(@k=1)", "r.a#(@k=1)#.b", "r.b#(c>3)#",
    "r.a#(b=5).c", "r.a#(b>2)#.@k", "r.c#(b!=1)#.b.#", "r.a#(c.#text>1)#", "**.p:b", "r.*.0.#text",
    "r.a.2.b.0", "**.b.c.0", "r.a#(@k!=2)#.b.1",
    // Modifiers whose outcome does not depend on how the items were collected.
    "r.a|@count", "**.c|@count", "r.a.#.@k|@sort", "r.*.#.b.0|@reverse", "r.a.#.@k|@first",
    "r.a.#.b.1.#text|@first",
};
// clang-format on

TEST(ManyAgreement, EachPathAloneAndTogetherMatchesTheSinglePathWalk) {
  const std::vector<std::string> paths(std::begin(kAgreeingPaths), std::end(kAgreeingPaths));
  std::mt19937 rng(20240611);
  for (int round = 0; round < 400; ++round) {
    std::string doc = "<r>";
    for (int i = 0, n = static_cast<int>(rng() % 5); i < n; ++i) doc += random_element(rng, 0);
    doc += "</r>";
    if (round % 7 == 0) doc.resize(rng() % (doc.size() + 1));  // cut short
    const bool spans = round % 2 == 0;
    std::vector<V> singles;
    for (const std::string& p : paths) {
      singles.push_back(as_elements(query(doc, p, spans)));
      EXPECT_EQ(as_elements(query_many(doc, {p}, spans).front()), singles.back())
          << p << " on " << doc;
    }
    const std::vector<V> together = query_many(doc, paths, spans);
    if (together.size() != paths.size()) {
      // Some path on its own must report the same step.
      EXPECT_NE(std::find(singles.begin(), singles.end(), together.front()), singles.end()) << doc;
      continue;
    }
    for (size_t i = 0; i < paths.size(); ++i) {
      EXPECT_EQ(as_elements(together[i]), singles[i]) << paths[i] << " on " << doc;
    }
  }
}

TEST(ManyAgreement, ElementRelativeScanMatchesEvaluationWithinTheElement) {
  const std::vector<std::string> paths = {"a",           "a.#.b",     "*.#.c.0", "**.b",
                                          "**.c.@k",     "#text",     "@k",      "b.#",
                                          "a#(@k=1)#.b", "a.#.#text", "a|@count"};
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string element = random_element(rng, 0);
    if (round % 5 == 0) element.resize(rng() % (element.size() + 1));
    const std::vector<V> together = query_many(element, paths, false, true);
    ASSERT_EQ(together.size(), paths.size()) << element;
    for (size_t i = 0; i < paths.size(); ++i) {
      const path::ProgramPtr program = compile_or_fail(paths[i]);
      Items single;
      ASSERT_FALSE(apply_within_fragment(element, program->steps, single).has_value());
      apply_modifiers(program->modifiers, single, element);
      EXPECT_EQ(as_elements(together[i]), as_elements(render_all(single, element)))
          << paths[i] << " in " << element;
    }
  }
}

// --- size and depth ---------------------------------------------------------

TEST(ManyDepth, MillionNestedElementsDoNotGrowTheCallStack) {
  constexpr size_t kDepth = 1'000'000;
  const std::string doc = nested(kDepth, "<b/>", true);
  EXPECT_EQ(query_many(doc, {"**.b", "a.a.#", "a.a.a.#text"}),
            (std::vector<V>{{"M:<b/>"}, {"V:1"}, {"V:"}}));
  // Open to the end: every level still ends.
  EXPECT_EQ(query_many(nested(kDepth, "", false), {"**.b", "a.a.#"}),
            (std::vector<V>{{}, {"V:1"}}));
}

TEST(ManyDepth, ManyPathsSpillTheActionsToTheHeap) {
  // Alternating paths, so that results landing under the wrong path show.
  std::vector<std::string> paths;
  std::vector<V> expected;
  for (int i = 0; i < 40; ++i) {
    paths.push_back(i % 2 == 0 ? "r.a" : "r.a.#.@k");
    expected.push_back(i % 2 == 0 ? V{"S:<a k=\"1\">x</a>"} : V{"V:1"});
  }
  EXPECT_EQ(query_many("<r><a k=\"1\">x</a></r>", paths), expected);
}

}  // namespace
}  // namespace varnex::engine::testing
