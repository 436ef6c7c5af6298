// Well-formedness, the direct-children scan of an element, element text, and the text and
// number of items.
#include <random>

#include "engine/internal.hpp"
#include "engine/leaf.hpp"
#include "engine_test_util.hpp"
#include "xml/encoding.hpp"

namespace varnex::engine::testing {
namespace {

TEST(Validate, Answers) {
  for (const char* doc : {"<?xml version=\"1.0\"?><a><b/></a>", "<!-- c --><a></a><!-- d -->",
                          "x<a/>y", "<a x=1>&foo;</a>", "<a></a >", "\xEF\xBB\xBF<a/>",
                          "<!DOCTYPE a><a><![CDATA[</b>]]></a>"}) {
    EXPECT_TRUE(validate(doc)) << doc;
  }
  for (const char* doc : {"", "<!-- c -->", "<a>", "<a></b>", "</a>", "<a/><b/>", "<a><b></a></b>",
                          "<a><!x></a>", "<a", "<a x='1>"}) {
    EXPECT_FALSE(validate(doc)) << doc;
  }
}

// The leaf rule byte by byte: the start tag ends at the first '>' outside quotes (either kind
// opens a value, only the same kind closes it); its text runs to the next '<', which must open
// an end tag. (Whether text with references is ASCII is nobody's question.)
struct RefLeaf {
  std::string_view raw;
  bool empty_tag = false;
  bool ascii = true;
  bool references = false;
};
std::optional<RefLeaf> ref_leaf(std::string_view e) {
  if (e.size() < 2 || e[0] != '<' || e[1] == '!' || e[1] == '/' || e[1] == '?') return {};
  size_t gt = 1;
  for (char quote = 0; gt < e.size(); ++gt) {
    if (quote != 0) {
      quote = e[gt] == quote ? 0 : quote;
    } else if (e[gt] == '"' || e[gt] == '\'') {
      quote = e[gt];
    } else if (e[gt] == '>') {
      break;
    }
  }
  if (gt == e.size()) return {};
  RefLeaf leaf;
  if (gt >= 2 && e[gt - 1] == '/') {
    leaf.empty_tag = true;
    return leaf;
  }
  size_t i = gt + 1;
  for (; i < e.size() && e[i] != '<'; ++i) {
    leaf.references = leaf.references || e[i] == '&';
    leaf.ascii = leaf.ascii && static_cast<unsigned char>(e[i]) < 0x80;
  }
  if (e.size() - i < 2 || e[i + 1] != '/') return {};
  leaf.raw = e.substr(gt + 1, i - gt - 1);
  return leaf;
}

TEST(LeafText, EveryShapeAsTheByteRuleReadsIt) {
  // Elements of every length around the 16 and 64 bytes the short sweep covers, from the bytes
  // the rule looks at: quotes before and after the tag's '>', '&', non-ASCII, markup inside.
  constexpr std::string_view kBytes[] = {"a",    "b",   " ",           "\"",       "'",    ">",
                                         "<",    "/",   "&",           "\xC3\xA9", "\xFF", "=",
                                         "</t>", "<t>", "<t a='x>y'>", "<t/>"};
  std::mt19937 random(20261210);
  for (int round = 0; round < 200000; ++round) {
    std::string e = "<t";
    const size_t target = 2 + random() % 80;
    while (e.size() < target) e += kBytes[random() % std::size(kBytes)];
    if (random() % 2 == 0) e += "</t>";
    const auto want = ref_leaf(e);
    const auto text = simple_text_bytes(e);
    ASSERT_EQ(text.has_value(), want.has_value()) << e;
    if (want) ASSERT_EQ(*text, want->raw) << e;
    const auto plain = plain_leaf_text(e);
    const bool plain_wanted = want && !want->empty_tag && !want->references &&
                              (want->ascii || xml::is_valid_utf8(want->raw));
    ASSERT_EQ(plain.has_value(), plain_wanted) << e;
    if (plain) {
      ASSERT_EQ(plain->text, want->raw) << e;
      ASSERT_EQ(plain->ascii, want->ascii) << e;
    }
  }
}

TEST(Children, Scan) {
  const struct {
    std::string element;
    bool has_children;
    V children;  // name@start-end
    V unique;
  } cases[] = {{"<a>text<!-- c --></a>", false, {}, {}},
               {"<a/>", false, {}, {}},
               {"", false, {}, {}},
               {"<r>t<x>1</x>u<y a=\"1\"/><x><x>2</x></x></r>",
                true,
                {"x@4-12", "y@13-23", "x@23-38"},
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
  const std::pair<std::string, std::string> cases[] = {{"<a>ok<b>&bad;</b>!</a>", "ok&bad;!"},
                                                       {"text only", ""},
                                                       {"<?xml version=\"1.0\"?><a>x</a>", "x"},
                                                       {"<a>1</a><b>2</b>", "1"},
                                                       {"<a>open<b>x", "openx"},
                                                       {"<a>x</b>y</a>", "x"}};
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
