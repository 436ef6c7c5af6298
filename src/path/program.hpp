// Compiled path programs: steps, selectors, filters and modifiers. Immutable once built.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "path/wildcard.hpp"

namespace varnex::path {

enum class CompareOp : uint8_t { Eq = 0, Ne, Lt, Le, Gt, Ge, Like, NotLike };

struct FilterValue {
  enum class Kind : uint8_t { Number, Str, Bool };
  Kind kind = Kind::Str;
  double number = 0.0;
  std::string str;
  bool boolean = false;
};

struct Step;

// One test of a filter: a path from the candidate element, and what the items it selects are
// compared with. The test holds when any of those items passes the comparison; a test without
// one (`exists`) holds when the path selects anything.
struct FilterTest {
  std::vector<Step> path;           // never empty
  std::optional<std::string> attr;  // set when `path` is exactly one Attr step: read on the tag
  bool exists = false;
  CompareOp op = CompareOp::Eq;
  FilterValue value;
};

// A node of a filter's tree. Nodes are kept in prefix order: an And, Or or Not node is followed
// by its operands, each a subtree whose first node tells its size.
struct FilterNode {
  enum class Kind : uint8_t { Test, And, Or, Not };
  Kind kind = Kind::Test;
  uint32_t test = 0;  // Test: its index in Filter::tests
  uint32_t size = 1;  // nodes in the subtree this one heads, itself included
};

// What `#( … )` holds: tests joined by "&&", "||" and "!( … )".
struct Filter {
  std::vector<FilterNode> nodes;  // never empty; nodes[0] is the root
  std::vector<FilterTest> tests;  // in the order written
  // Tests that read an attribute of the candidate's own start tag: none, one that is the whole
  // filter, or some.
  enum class TagTests : uint8_t { None, One, Some };
  TagTests tag_tests = TagTests::None;
};

enum class SelectorKind : uint8_t { Bare = 0, Index, Count, Each, FilterFirst, FilterAll };

struct Selector {
  SelectorKind kind = SelectorKind::Bare;
  uint64_t index = 0;                    // Index
  std::shared_ptr<const Filter> filter;  // FilterFirst / FilterAll (immutable, so shared)
};

enum class StepKind : uint8_t { Element, Attr, Text };

struct Step {
  StepKind kind = StepKind::Element;
  NameMatcher name;         // Element
  Selector selector;        // Element
  bool descendant = false;  // Element: '**'
  std::string attr;         // Attr: the unescaped attribute name (its local part, with attr_ns)
  Namespace attr_ns;        // Attr
};

enum class Modifier : uint8_t {
  Reverse = 0,
  First,
  Last,
  Count,
  Sort,
  SortN,
  Unique,
  Flatten,
  ToStr,
  Sum,
  Avg,
  Min,
  Max,
};

enum class CollectMode : uint8_t { Normal = 0, CollectAll = 1, CountOnly = 2 };

struct Program {
  std::vector<Step> steps;  // never empty
  std::vector<Modifier> modifiers;
  CollectMode collect_mode = CollectMode::Normal;
  // Some name of it, its filters' included, tests a namespace: the scan must then follow the
  // declarations in scope.
  bool scoped = false;
};

using ProgramPtr = std::shared_ptr<const Program>;

}  // namespace varnex::path
