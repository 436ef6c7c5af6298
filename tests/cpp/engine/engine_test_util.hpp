// Runs a path over a document and renders the items as short strings for table-driven tests.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
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

// The items as strings, or one "ambiguous:<name>" entry.
inline V query(std::string_view doc, std::string_view path_text, bool spans = true) {
  const path::ProgramPtr program = compile_or_fail(path_text);
  if (!program) return {"<no program>"};
  Items items;
  if (auto err = run_with(*program, doc, spans, items)) return {"ambiguous:" + err->name};
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

struct QueryCase {
  std::string doc;
  std::string path;
  V expected;
  bool spans = true;
};

inline std::ostream& operator<<(std::ostream& os, const QueryCase& c) {
  return os << c.path << " on " << c.doc << (c.spans ? "" : " (copies)");
}

class Query : public ::testing::TestWithParam<QueryCase> {};

}  // namespace varnex::engine::testing
