// Program shapes: list or scalar, elements or values, and the forms records and fields run in.
#include "path/shape.hpp"

#include <memory>
#include <utility>

namespace varnex::path {

namespace {

// Modifiers that leave one value however many items come in.
bool reduces(Modifier m) noexcept {
  switch (m) {
    case Modifier::First:
    case Modifier::Last:
    case Modifier::Count:
    case Modifier::Sum:
    case Modifier::Avg:
    case Modifier::Min:
    case Modifier::Max: return true;
    default: return false;
  }
}

bool is_aggregate(Modifier m) noexcept {
  return reduces(m) && m != Modifier::First && m != Modifier::Last;
}

// Bytes the path language reads as more than part of a name.
bool needs_escape(char c) noexcept {
  switch (c) {
    case '.':
    case '#':
    case '*':
    case '?':
    case '\\':
    case '@':
    case '"':
    case '\'':
    case '|':
    case '(':
    case ')': return true;
    default: return false;
  }
}

}  // namespace

bool selects_each(const Program& program) noexcept {
  for (const Modifier m : program.modifiers) {
    if (reduces(m)) return false;
  }
  for (const Step& step : program.steps) {
    if (step.kind != StepKind::Element) continue;
    const SelectorKind k = step.selector.kind;
    if (step.descendant || k == SelectorKind::Each || k == SelectorKind::Count ||
        k == SelectorKind::FilterAll) {
      return true;
    }
  }
  return false;
}

bool yields_elements(const Program& program) noexcept {
  if (program.steps.back().kind != StepKind::Element) return false;
  for (const Modifier m : program.modifiers) {
    if (is_aggregate(m)) return false;
  }
  return true;
}

ProgramPtr each_at_end(ProgramPtr program) {
  if (program->steps.back().selector.kind != SelectorKind::Count) return program;
  auto each = std::make_shared<Program>(*program);
  each->steps.back().selector.kind = SelectorKind::Each;
  return each;
}

ProgramPtr every_match(ProgramPtr program) {
  program = each_at_end(std::move(program));
  const std::vector<Step>& steps = program->steps;
  bool bare = false;
  for (size_t i = 0; i + 1 < steps.size(); ++i) {
    bare = bare ||
           (steps[i].kind == StepKind::Element && steps[i].selector.kind == SelectorKind::Bare);
  }
  if (!bare) return program;
  auto every = std::make_shared<Program>(*program);
  for (size_t i = 0; i + 1 < every->steps.size(); ++i) {
    Step& step = every->steps[i];
    if (step.kind == StepKind::Element && step.selector.kind == SelectorKind::Bare) {
      step.selector.kind = SelectorKind::Each;
    }
  }
  return every;
}

std::string escape_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  for (size_t i = 0; i < name.size(); ++i) {
    // A leading digit keeps an all-digit name from reading as an index.
    if (needs_escape(name[i]) || (i == 0 && name[i] >= '0' && name[i] <= '9')) out += '\\';
    out += name[i];
  }
  return out;
}

}  // namespace varnex::path
