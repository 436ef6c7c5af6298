// A record path's cuts: which steps decide without what came before, and which by a tag alone.
#include "path/cut_plan.hpp"

namespace varnex::path {
namespace {

// Whether the elements the step chooses are chosen without their earlier siblings (a unique
// step's earlier siblings are given by name, see CutPlan::unique).
bool without_siblings(const Step& step) noexcept {
  if (step.kind != StepKind::Element) return false;
  switch (step.selector.kind) {
    case SelectorKind::Bare:
    case SelectorKind::Each:
    case SelectorKind::FilterAll: return true;
    default: return false;
  }
}

// Whether an element the step chose stays chosen when only its start tag is known.
bool by_start_tag(const Step& step) noexcept {
  if (!without_siblings(step) || step.descendant) return false;
  if (step.selector.kind != SelectorKind::FilterAll) return true;
  for (const FilterTest& test : step.selector.filter->tests) {
    if (!test.attr) return false;
  }
  return true;
}

// Whether a step that settles at its first match (`.N`, `#(...)`) ends the whole pass: one
// that no step selecting each match comes before. The pass then ends at a place no piece knows.
bool ends_early(const Program& record) noexcept {
  for (const Step& step : record.steps) {
    if (step.kind != StepKind::Element) continue;
    const SelectorKind k = step.selector.kind;
    if (k == SelectorKind::Index || k == SelectorKind::FilterFirst) return true;
    if (step.descendant || k == SelectorKind::Each || k == SelectorKind::FilterAll) return false;
  }
  return false;
}

}  // namespace

CutPlan cut_plan(const Program& record) noexcept {
  CutPlan plan;
  // Modifiers need every match at once.
  if (!record.modifiers.empty() || ends_early(record)) return plan;
  const size_t n = record.steps.size();
  for (size_t i = 0; i < n && i < 63; ++i) {
    const Step& step = record.steps[i];
    if (!without_siblings(step)) break;
    plan.cuts = true;
    plan.max_depth = i;
    if (step.selector.kind == SelectorKind::Bare && i + 1 < n) plan.unique |= uint64_t{1} << i;
    if (i + 1 == n || !by_start_tag(step)) break;
  }
  return plan;
}

}  // namespace varnex::path
