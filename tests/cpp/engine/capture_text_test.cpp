// Element text, and the text and number of items.

#include "engine/internal.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

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
  EXPECT_EQ(num("\xC2\xA0"
                "3\xE2\x80\x83"),
            3.0);  // Unicode spaces are trimmed
  EXPECT_EQ(num("\xFF"
                "1"),
            std::nullopt);
  EXPECT_EQ(parse_item_number(Markup{"<p> 12.50 </p>"}, ""), 12.5);
  EXPECT_EQ(parse_item_number(Markup{"<p>1<i>2</i></p>"}, ""), 12.0);
}

}  // namespace
}  // namespace varnex::engine::testing
