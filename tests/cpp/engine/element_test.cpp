// Well-formedness, the direct-children scan of an element, element text, and the text and
// number of items.
#include "engine/internal.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

TEST(Validate, Answers) {
  for (const char* doc : {"<?xml version=\"1.0\"?><a><b/></a>", "<!-- c --><a></a><!-- d -->",
                          "x<a/>y", "<a x=1>&foo;</a>", "<a></a >", "\xEF\xBB\xBF<a/>",
                          "<!DOCTYPE a><a><![CDATA[</b>]]></a>"}) {
    EXPECT_TRUE(validate(doc)) << doc;
  }
  for (const char* doc : {"", "<!-- c -->", "<a>", "<a></b>", "</a>", "<a/><b/>",
                          "<a><b></a></b>", "<a><!x></a>", "<a", "<a x='1>"}) {
    EXPECT_FALSE(validate(doc)) << doc;
  }
}

struct ChildrenCase {
  std::string element;
  bool has_children;
  V children;  // name@start-end
  V unique;
};
std::ostream& operator<<(std::ostream& os, const ChildrenCase& c) { return os << c.element; }

class Children : public ::testing::TestWithParam<ChildrenCase> {};

TEST_P(Children, Scan) {
  const ChildrenCase& c = GetParam();
  EXPECT_EQ(element_has_child_elements(c.element), c.has_children);
  const auto children = collect_direct_children(c.element);
  V got;
  for (const auto& ch : children) {
    got.push_back(ch.name + "@" + std::to_string(ch.start) + "-" + std::to_string(ch.end));
  }
  EXPECT_EQ(got, c.children);
  V names;
  for (auto n : unique_child_names(children)) names.emplace_back(n);
  EXPECT_EQ(names, c.unique);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Children,
    ::testing::Values(
        ChildrenCase{"<a>text<!-- c --></a>", false, {}, {}}, ChildrenCase{"<a/>", false, {}, {}},
        ChildrenCase{"", false, {}, {}},
        ChildrenCase{"<r>t<x>1</x>u<y a=\"1\"/><x><x>2</x></x></r>", true,
                     {"x@4-12", "y@13-23", "x@23-38"}, {"x", "y"}},
        ChildrenCase{"<r><p:a/><a/></r>", true, {"p:a@3-9", "a@9-13"}, {"p:a", "a"}},
        ChildrenCase{"<r><x>open", true, {"x@3-10"}, {"x"}},
        ChildrenCase{"<?xml version=\"1.0\"?><r><b></b></r>", true, {"b@24-31"}, {"b"}}));

struct TextCase {
  std::string element;
  std::string text;
};
std::ostream& operator<<(std::ostream& os, const TextCase& c) { return os << c.element; }

class ElementText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ElementText, Extracted) {
  EXPECT_EQ(extract_element_text(GetParam().element), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, ElementText,
                         ::testing::Values(TextCase{"<a>ok<b>&bad;</b>!</a>", "ok&bad;!"},
                                           TextCase{"text only", ""},
                                           TextCase{"<?xml version=\"1.0\"?><a>x</a>", "x"},
                                           TextCase{"<a>1</a><b>2</b>", "1"},
                                           TextCase{"<a>open<b>x", "openx"},
                                           TextCase{"<a>x</b>y</a>", "x"}));

TEST(ItemText, ByVariant) {
  const std::string doc = "<r><a>x<b>y</b></a></r>";
  EXPECT_EQ(item_text(Span{3, 19}, doc), "xy");
  EXPECT_EQ(item_text(Markup{"<q>z</q>"}, doc), "z");
  EXPECT_EQ(item_text(Value{"\xFF raw"}, doc), "\xFF raw");
  // A span reaching past the document is clamped, never read outside it.
  EXPECT_EQ(item_text(Span{3, 4000}, doc), "xy");
}

TEST(ItemNumber, Parsed) {
  const auto num = [](std::string text) { return parse_item_number(Value{std::move(text)}, ""); };
  EXPECT_EQ(num("\xC2\xA0" "3\xE2\x80\x83"), 3.0);  // Unicode spaces are trimmed
  EXPECT_EQ(num("\xFF" "1"), std::nullopt);
  EXPECT_EQ(parse_item_number(Markup{"<p> 12.50 </p>"}, ""), 12.5);
  EXPECT_EQ(parse_item_number(Markup{"<p>1<i>2</i></p>"}, ""), 12.0);
}

}  // namespace
}  // namespace varnex::engine::testing
