// Attribute iteration: grammar, error positions and recovery after errors.
#include "xml/attributes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "render.hpp"

namespace varnex::xml {
namespace {

// The first tag of `tag`; text that does not start with one is taken as a tag's content.
Event first_tag(std::string_view tag) {
  Event ev = Reader(tag).read_event();
  if (ev.kind != EventKind::Start && ev.kind != EventKind::Empty) {
    ev.content = tag;
    ev.name_len = std::min(tag.find(' '), tag.size());
  }
  return ev;
}

// Items of the first tag of `tag` as "k=v" or "Kind(pos[,pos2|quote])".
std::string render_attrs(std::string_view tag, bool checks = true) {
  const Event ev = first_tag(tag);
  if (tag.starts_with('<') && ev.content.data() == tag.data()) return "not a tag";
  static const char* const kErrors[] = {"", "ExpectedEq", "Duplicated", "UnquotedValue",
                                        "ExpectedValue", "ExpectedQuote"};
  Attributes attrs(ev, checks);
  AttrItem it;
  std::string out;
  for (int guard = 0; guard < 1000 && attrs.next(&it); ++guard) {
    if (!out.empty()) out += ", ";
    if (it.error == AttrErrorKind::None) {
      out += testing::escape(it.key) + '=' + testing::escape(it.value);
      continue;
    }
    out += kErrors[static_cast<size_t>(it.error)] + ("(" + std::to_string(it.pos));
    if (it.error == AttrErrorKind::Duplicated) out += "," + std::to_string(it.pos2);
    if (it.error == AttrErrorKind::ExpectedQuote) out += std::string(",") + it.quote;
    out += ')';
  }
  // Once finished, the iterator stays finished.
  if (attrs.next(&it)) out += " <more after end>";
  return out;
}

struct Case {
  std::string_view tag;
  std::string_view expected;
};

class AttributeItems : public ::testing::TestWithParam<Case> {};

TEST_P(AttributeItems, WithDuplicateCheck) {
  EXPECT_EQ(render_attrs(GetParam().tag), GetParam().expected) << GetParam().tag;
}

// The one-pass lookup finds what iteration finds first for each name, or gives up.
TEST_P(AttributeItems, LookupAgreesWithIteration) {
  const Event ev = first_tag(GetParam().tag);
  for (const std::string_view name : {"x", "y", "z", "w", "b", "k", "'k'", "/y", "k&j", "q", "a"}) {
    std::optional<std::string_view> first;
    Attributes attrs(ev);
    AttrItem it;
    while (!first && attrs.next(&it)) {
      if (it.error == AttrErrorKind::None && it.key == name) first = it.value;
    }
    std::string_view found;
    const AttrLookup lookup = find_attribute(
        ev.content, ev.name_len, [&](std::string_view k) { return k == name; }, &found);
    if (lookup == AttrLookup::Unsure) continue;
    EXPECT_EQ(lookup == AttrLookup::Found, first.has_value()) << GetParam().tag << " " << name;
    if (first && lookup == AttrLookup::Found) {
      EXPECT_EQ(found.data(), first->data()) << GetParam().tag << " " << name;
      EXPECT_EQ(found, *first);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AttributeItems,
    ::testing::Values(
        Case{R"(<a x="1" x="2" y="3">)", "x=1, Duplicated(8,2), y=3"},
        // After a duplicate its whole quoted value is skipped.
        Case{R"(<a x="1" x="2 y='5'" y="4">)", "x=1, Duplicated(8,2), y=4"},
        Case{R"(<a x="1" x='2 "y"=3' z="4">)", "x=1, Duplicated(8,2), z=4"},
        // An unquoted duplicate resumes at the next ws.
        Case{R"(<a x="1" x=2 y="3">)", "x=1, Duplicated(8,2), y=3"},
        Case{R"(a x="1" x= 'q)", "x=1, Duplicated(8,2)"},
        Case{R"(<a x=1 y="2">)", "UnquotedValue(4), y=2"},
        Case{R"(<a x=1 x="2">)", "UnquotedValue(4), Duplicated(6,2)"},
        Case{R"(<a x=y=z w="1">)", "UnquotedValue(4), w=1"},
        Case{R"(<a x y="2">)", "ExpectedEq(4), y=2"}, Case{"<a x  >", "ExpectedEq(5)"},
        Case{"<a x=/>", "ExpectedValue(4)"}, Case{R"(<a =1 b="2">)", "ExpectedEq(5), b=2"},
        Case{R"(<a = "1" b="2">)", "ExpectedEq(4), ExpectedEq(8), b=2"},
        Case{R"(<a x = "1"y="2" z='3'/>)", "x=1, y=2, z=3"},
        Case{R"(<a x="1"/y="2">)", "x=1, /y=2"},
        Case{R"(<a x=1' y='2>)", "UnquotedValue(4), ExpectedQuote(11,')"},
        Case{"<a b'c>d'>", "ExpectedEq(8)"}, Case{R"(<a x="1>)", "not a tag"},
        Case{R"(<a 'k'='v' k&j="w">)", "'k'=v, k&j=w"},
        Case{"<a x=\"a\r\nb\" y='\"<>'>", "x=a\\r\\nb, y=\"<>"}, Case{"<a \t\n>", ""},
        Case{"<a x=''>", "x="}, Case{"<a\tx='1'\ny='2'>", "x=1, y=2"},
        // x failed, so a later x= is no duplicate; y was recorded before its value failed.
        Case{R"(<a x y=1 x="2" y="3">)",
             "ExpectedEq(4), UnquotedValue(6), x=2, Duplicated(14,4)"}));

TEST(Attributes, WithoutChecksDuplicatesAreItems) {
  EXPECT_EQ(render_attrs(R"(<a x="1" x="2 y='5'" y="4">)", false), "x=1, x=2 y='5', y=4");
}

// Many attributes go through the heap index; duplicates are still found,
// in any position, and distinct keys never collide.
TEST(Attributes, ManyKeys) {
  std::string tag = "<a";
  for (int i = 0; i < 5000; ++i) tag += " k" + std::to_string(i) + "=\"v\"";
  tag += " k17=\"d\" k4999=\"d\" k0='d' z='end'>";
  Reader r(tag);
  const Event ev = r.read_event();
  Attributes attrs(ev);
  AttrItem it;
  int good = 0;
  std::vector<size_t> dup_earlier;
  while (attrs.next(&it)) {
    if (it.error == AttrErrorKind::None)
      ++good;
    else if (it.error == AttrErrorKind::Duplicated)
      dup_earlier.push_back(it.pos2);
    else
      FAIL() << "unexpected error";
  }
  EXPECT_EQ(good, 5001);
  ASSERT_EQ(dup_earlier.size(), 3u);
  EXPECT_EQ(ev.content.substr(dup_earlier[0], 4), "k17=");
  EXPECT_EQ(ev.content.substr(dup_earlier[1], 6), "k4999=");
  EXPECT_EQ(ev.content.substr(dup_earlier[2], 3), "k0=");
}

// The prefilter of attribute filters, whose blocks overlap at the end: against its definition
// on every length around a block and every place of the value and of '&'.
TEST(Attributes, MayHoldValueAgreesWithSearch) {
  const std::string_view value = "bk42";
  for (size_t n = 0; n < 40; ++n) {
    for (size_t at = 0; at <= n + 1; ++at) {
      for (const std::string_view put : {std::string_view("bk42"), std::string_view("bk4"),
                                         std::string_view("&"), std::string_view("b")}) {
        std::string bytes(n, 'k');
        if (at < n) bytes.replace(at, std::min(put.size(), n - at), put.substr(0, n - at));
        const bool want =
            bytes.find(value) != std::string::npos || bytes.find('&') != std::string::npos;
        EXPECT_EQ(may_hold_value(bytes, value), want) << bytes;
      }
    }
  }
  EXPECT_TRUE(may_hold_value("", ""));
}

TEST(Attributes, LocalNameFollowsTheFirstColon) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a:b:c", "b:c"}, {":a", "a"}, {"a:", ""}, {"x", "x"}};
  for (const auto& [name, local] : cases) EXPECT_EQ(local_name(name), local) << name;
}

}  // namespace
}  // namespace varnex::xml
