// Runs a path over a document and renders the items as short strings for table-driven tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/engine.hpp"
#include "path/compiler.hpp"

namespace varnex::engine::testing {

using V = std::vector<std::string>;

// "S:" span (with the bytes it covers), "M:" owned markup, "V:" value.
inline std::string render(const Item& item, std::string_view doc) {
  if (const auto* s = std::get_if<Span>(&item)) {
    if (s->start > s->end || s->end > doc.size()) return "S:<out of range>";
    return "S:" + std::string(doc.substr(s->start, s->end - s->start));
  }
  if (const auto* m = std::get_if<Markup>(&item)) return "M:" + m->bytes;
  return "V:" + std::get<Value>(item).bytes;
}

inline V render_all(const Items& items, std::string_view doc) {
  V out;
  for (const Item& it : items) out.push_back(render(it, doc));
  return out;
}

inline path::ProgramPtr compile_or_fail(std::string_view path_text) {
  auto compiled = path::compile(path_text);
  if (auto* err = std::get_if<path::ParseError>(&compiled)) {
    ADD_FAILURE() << "path does not compile: " << path_text << ": " << err->message();
    return nullptr;
  }
  return std::get<path::ProgramPtr>(compiled);
}

inline RunOptions with_spans(bool capture = true) {
  RunOptions options;
  options.capture_spans = capture;
  return options;
}

// `run` over one path alone.
inline std::optional<EngineError> run_one(const path::Program& program, std::string_view doc,
                                          Items& items, RunOptions options = {}) {
  const path::Program* const programs[] = {&program};
  return run(programs, doc, options, std::span(&items, 1));
}

// `run` over the paths as a set, `results` made one per path.
inline std::optional<EngineError> run_set(const std::vector<const path::Program*>& programs,
                                          std::string_view doc, std::vector<Items>& results,
                                          RunOptions options = {}) {
  options.as_set = true;
  results.assign(programs.size(), Items{});
  return run(programs, doc, options, results);
}

// run_cut_at with spans, `results` made one per path.
inline std::optional<std::optional<EngineError>> cut_at(
    const std::vector<const path::Program*>& programs, std::string_view doc,
    std::vector<Items>& results, std::span<const size_t> cuts, bool as_set) {
  RunOptions options = with_spans();
  options.as_set = as_set;
  results.assign(programs.size(), Items{});
  return run_cut_at(programs, doc, options, results, cuts);
}

// The items as strings, or one "ambiguous:<name>" entry.
inline V query(std::string_view doc, std::string_view path_text, bool spans = true) {
  const path::ProgramPtr program = compile_or_fail(path_text);
  if (!program) return {"<no program>"};
  Items items;
  if (auto err = run_one(*program, doc, items, with_spans(spans))) {
    return {"ambiguous:" + err->name};
  }
  return render_all(items, doc);
}

// `core` inside `depth` levels of <a>, closed or left open to the end.
inline std::string nested(size_t depth, std::string_view core, bool closed) {
  std::string doc;
  doc.reserve(depth * 7 + core.size());
  for (size_t i = 0; i < depth; ++i) doc += "<a>";
  doc += core;
  for (size_t i = 0; closed && i < depth; ++i) doc += "</a>";
  return doc;
}

// One rendered sequence per path (an empty text stands for a missing program), or one
// "ambiguous:<name>" entry. `within`: relative to the first element of `doc`.
inline std::vector<V> query_many(std::string_view doc, const std::vector<std::string>& paths,
                                 bool spans = true, bool within = false) {
  std::vector<path::ProgramPtr> owned;
  std::vector<const path::Program*> programs;
  for (const std::string& p : paths) {
    owned.push_back(p.empty() ? nullptr : compile_or_fail(p));
    programs.push_back(owned.back().get());
  }
  std::vector<Items> results;
  RunOptions options = with_spans(spans && !within);
  if (within) options.scope = RunOptions::Scope::Element;
  const auto err = run_set(programs, doc, results, options);
  if (err) return {{"ambiguous:" + err->name}};
  std::vector<V> out;
  for (const Items& items : results) out.push_back(render_all(items, doc));
  return out;
}

}  // namespace varnex::engine::testing
