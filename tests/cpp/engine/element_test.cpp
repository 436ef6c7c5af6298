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

TEST(Children, Scan) {
  const struct {
    std::string element;
    bool has_children;
    V children;  // name@start-end
    V unique;
  } cases[] = {
      {"<a>text<!-- c --></a>", false, {}, {}}, {"<a/>", false, {}, {}}, {"", false, {}, {}},
      {"<r>t<x>1</x>u<y a=\"1\"/><x><x>2</x></x></r>", true, {"x@4-12", "y@13-23", "x@23-38"},
       {"x", "y"}},
      {"<r><p:a/><a/></r>", true, {"p:a@3-9", "a@9-13"}, {"p:a", "a"}},
      {"<r><x>open", true, {"x@3-10"}, {"x"}},
      {"<?xml version=\"1.0\"?><r><b></b></r>", true, {"b@24-31"}, {"b"}}};
  for (const auto& c : cases) {
    EXPECT_EQ(element_has_child_elements(c.element), c.has_children) << c.element;
    const auto children = collect_direct_children(c.element);
    V got;
    for (const auto& ch : children) {
      got.push_back(ch.name + "@" + std::to_string(ch.start) + "-" + std::to_string(ch.end));
    }
    EXPECT_EQ(got, c.children) << c.element;
    V names;
    for (auto n : unique_child_names(children)) names.emplace_back(n);
    EXPECT_EQ(names, c.unique) << c.element;
  }
}

TEST(ElementText, Extracted) {
  const std::pair<std::string, std::string> cases[] = {
      {"<a>ok<b>&bad;</b>!</a>", "ok&bad;!"}, {"text only", ""},
      {"<?xml version=\"1.0\"?><a>x</a>", "x"}, {"<a>1</a><b>2</b>", "1"},
      {"<a>open<b>x", "openx"}, {"<a>x</b>y</a>", "x"}};
  for (const auto& [e, text] : cases) EXPECT_EQ(extract_element_text(e), text) << e;
}

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
