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

struct Filter {
  std::vector<Step> path;           // never empty
  std::optional<std::string> attr;  // set when `path` is exactly one Attr step
  FilterValue value;
  CompareOp op = CompareOp::Eq;
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
  NameMatcher name;       // Element
  Selector selector;      // Element
  bool descendant = false;  // Element: '**'
  std::string attr;       // Attr: the unescaped attribute name
};

enum class Modifier : uint8_t {
  Reverse = 0, First, Last, Count, Sort, SortN, Unique, Flatten, ToStr, Sum, Avg, Min, Max,
};

enum class CollectMode : uint8_t { Normal = 0, CollectAll = 1, CountOnly = 2 };

struct Program {
  std::vector<Step> steps;  // never empty
  std::vector<Modifier> modifiers;
  CollectMode collect_mode = CollectMode::Normal;
};

using ProgramPtr = std::shared_ptr<const Program>;

}  // namespace varnex::path
