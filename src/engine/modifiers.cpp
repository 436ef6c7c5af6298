// Result modifiers: reorder, trim, deduplicate or aggregate the items of a finished pass.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string_view>
#include <unordered_set>

#include "engine/engine.hpp"

namespace varnex::engine {

namespace {

using path::Modifier;

void sort_by_text(Items& items, std::string_view doc) {
  if (items.size() < 2) return;
  std::vector<std::string> keys;
  keys.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) keys.push_back(item_text(items, i, doc));
  std::vector<size_t> order(items.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::string_view(keys[a]) < std::string_view(keys[b]);
  });
  items.select(order);
}

void sort_numeric(Items& items, std::string_view doc) {
  if (items.size() < 2) return;
  // Numbers first (a NaN after every other number, so the order stays a
  // strict weak order), then the rest by text.
  struct Key {
    int group = 0;  // 0 number, 1 NaN, 2 no number
    double number = 0.0;
    std::string text;
  };
  std::vector<Key> keys(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const auto n = parse_item_number(items, i, doc);
    if (n && !std::isnan(*n)) {
      keys[i].number = *n;
    } else if (n) {
      keys[i].group = 1;
    } else {
      keys[i].group = 2;
      keys[i].text = item_text(items, i, doc);
    }
  }
  std::vector<size_t> order(items.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const Key& ka = keys[a];
    const Key& kb = keys[b];
    if (ka.group != kb.group) return ka.group < kb.group;
    if (ka.group == 0) return ka.number < kb.number;
    if (ka.group == 2) return std::string_view(ka.text) < std::string_view(kb.text);
    return false;
  });
  items.select(order);
}

void unique(Items& items, std::string_view doc) {
  std::unordered_set<std::string> seen;
  std::vector<size_t> kept;
  for (size_t i = 0; i < items.size(); ++i) {
    if (seen.insert(item_text(items, i, doc)).second) kept.push_back(i);
  }
  if (kept.size() != items.size()) items.select(kept);
}

void replace_with(Items& items, std::string_view text) {
  items.clear();
  items.push_value(text);
}

double aggregate(Modifier m, const Items& items, std::string_view doc) {
  double sum = -0.0;
  size_t count = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < items.size(); ++i) {
    const auto n = parse_item_number(items, i, doc);
    if (!n) continue;
    sum += *n;
    ++count;
    low = std::fmin(low, *n);  // fmin/fmax ignore a NaN operand
    high = std::fmax(high, *n);
  }
  switch (m) {
    case Modifier::Sum: return sum;
    case Modifier::Avg: return sum / static_cast<double>(count);
    case Modifier::Min: return low;
    default: return high;
  }
}

}  // namespace

void apply_modifiers(std::span<const path::Modifier> modifiers, Items& items,
                     std::string_view doc) {
  for (const Modifier m : modifiers) {
    switch (m) {
      case Modifier::Reverse: items.reverse(); break;
      case Modifier::First: items.keep(0, 1); break;
      case Modifier::Last:
        if (items.size() > 1) items.keep(items.size() - 1, 1);
        break;
      case Modifier::Count: replace_with(items, std::to_string(items.size())); break;
      case Modifier::Sort: sort_by_text(items, doc); break;
      case Modifier::SortN: sort_numeric(items, doc); break;
      case Modifier::Unique: unique(items, doc); break;
      case Modifier::Flatten:
      case Modifier::ToStr: break;
      case Modifier::Sum:
      case Modifier::Avg:
      case Modifier::Min:
      case Modifier::Max: replace_with(items, format_number(aggregate(m, items, doc))); break;
    }
  }
}

}  // namespace varnex::engine
