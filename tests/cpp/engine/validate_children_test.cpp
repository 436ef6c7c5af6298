// Well-formedness and the direct-children scan of an element.
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

struct ValidateCase {
  std::string doc;
  bool valid;
};

class Validate : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(Validate, Answer) { EXPECT_EQ(validate(GetParam().doc), GetParam().valid) << GetParam().doc; }

INSTANTIATE_TEST_SUITE_P(
    Cases, Validate,
    ::testing::Values(ValidateCase{"<a/>", true},
                      ValidateCase{"<?xml version=\"1.0\"?><a><b/></a>", true},
                      ValidateCase{"<!-- c --><a></a><!-- d -->", true},
                      ValidateCase{"x<a/>y", true}, ValidateCase{"<a x=1>&foo;</a>", true},
                      ValidateCase{"<a></a >", true}, ValidateCase{"\xEF\xBB\xBF<a/>", true},
                      ValidateCase{"<!DOCTYPE a><a><![CDATA[</b>]]></a>", true},
                      ValidateCase{"", false}, ValidateCase{"text", false},
                      ValidateCase{"<!-- c -->", false}, ValidateCase{"<a>", false},
                      ValidateCase{"<a></b>", false}, ValidateCase{"</a>", false},
                      ValidateCase{"<a/><b/>", false}, ValidateCase{"<a></a><b></b>", false},
                      ValidateCase{"<a><b></a></b>", false}, ValidateCase{"<a><!x></a>", false},
                      ValidateCase{"<a><!DOCTYPE></a>", false}, ValidateCase{"<a", false},
                      ValidateCase{"<a x='1>", false}));

struct ChildrenCase {
  std::string element;
  bool has_children;
  std::vector<std::string> children;  // name@start-end
  std::vector<std::string> unique;
};

class Children : public ::testing::TestWithParam<ChildrenCase> {};

TEST_P(Children, Scan) {
  const ChildrenCase& c = GetParam();
  EXPECT_EQ(element_has_child_elements(c.element), c.has_children);
  const auto children = collect_direct_children(c.element);
  std::vector<std::string> got;
  for (const auto& ch : children) {
    ASSERT_LE(ch.start, ch.end);
    ASSERT_LE(ch.end, c.element.size());
    got.push_back(ch.name + "@" + std::to_string(ch.start) + "-" + std::to_string(ch.end));
  }
  EXPECT_EQ(got, c.children);
  std::vector<std::string> names;
  for (auto n : unique_child_names(children)) names.emplace_back(n);
  EXPECT_EQ(names, c.unique);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Children,
    ::testing::Values(
        ChildrenCase{"<a>text</a>", false, {}, {}}, ChildrenCase{"<a/>", false, {}, {}},
        ChildrenCase{"<a><!-- c --></a>", false, {}, {}}, ChildrenCase{"", false, {}, {}},
        ChildrenCase{"<r><x/></r>", true, {"x@3-7"}, {"x"}},
        ChildrenCase{"<r>t<x>1</x>u<y a=\"1\"/><x><x>2</x></x></r>",
                     true,
                     {"x@4-12", "y@13-23", "x@23-38"},
                     {"x", "y"}},
        ChildrenCase{"<r><p:a/><a/></r>", true, {"p:a@3-9", "a@9-13"}, {"p:a", "a"}},
        ChildrenCase{"<r><x>open", true, {"x@3-10"}, {"x"}},
        ChildrenCase{"<?xml version=\"1.0\"?><r><b></b></r>", true, {"b@24-31"}, {"b"}}));

}  // namespace
}  // namespace varnex::engine::testing
