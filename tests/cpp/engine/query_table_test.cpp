// The shared query table through the single-path entry point (spans and copies), the
// multi-path one for each path alone, and one multi-path pass per document for all its paths.
#include "query_table.hpp"

#include <algorithm>
#include <map>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

// Item texts as a user sees them: an element with child elements as its markup, any other
// item as its text.
Answer answer(const std::optional<EngineError>& error, const Items& items, std::string_view doc) {
  Answer a;
  if (error) {
    a.ambiguous = true;
    a.name = error->name;
    return a;
  }
  for (const Item& item : items) {
    if (const auto* v = std::get_if<Value>(&item)) {
      a.items.push_back(v->bytes);
      continue;
    }
    std::string_view bytes;
    if (const auto* s = std::get_if<Span>(&item)) {
      EXPECT_LE(s->start, s->end);
      EXPECT_LE(s->end, doc.size());
      bytes = doc.substr(s->start, s->end - s->start);
    } else {
      bytes = std::get<Markup>(item).bytes;
    }
    a.items.push_back(element_has_child_elements(bytes) ? std::string(bytes)
                                                        : extract_element_text(bytes));
  }
  return a;
}

class Table : public ::testing::TestWithParam<QueryRow> {};

std::string row_name(const ::testing::TestParamInfo<QueryRow>& info) {
  return "line" + std::to_string(info.param.line);
}

TEST_P(Table, SingleAndMultiPath) {
  const QueryRow& row = GetParam();
  const path::ProgramPtr program = compile_or_fail(row.path);
  ASSERT_TRUE(program);
  for (const bool spans : {true, false}) {
    Items items;
    const auto error = run_with(*program, row.doc, spans, items);
    EXPECT_EQ(answer(error, items, row.doc), row.single) << row.path << (spans ? "" : " (copies)");
  }
  std::vector<Items> results;
  const auto error = run_many({program.get()}, row.doc, true, results);
  EXPECT_EQ(answer(error, results.at(0), row.doc), row.from_many()) << row.path << " (run_many)";
}

INSTANTIATE_TEST_SUITE_P(Queries, Table, ::testing::ValuesIn(query_rows()), row_name);

// Each document's paths in one multi-path pass: every path gets its own answer, or the pass
// stops at an ambiguity that one of them meets alone.
TEST(TableTogether, EachDocumentsPathsInOnePass) {
  std::map<std::string, std::vector<const QueryRow*>> by_doc;
  for (const QueryRow& row : query_rows()) by_doc[row.doc].push_back(&row);
  for (const auto& [doc, rows] : by_doc) {
    std::vector<path::ProgramPtr> owned;
    std::vector<const path::Program*> programs;
    for (const QueryRow* row : rows) {
      owned.push_back(compile_or_fail(row->path));
      programs.push_back(owned.back().get());
    }
    std::vector<Items> results;
    const auto error = run_many(programs, doc, true, results);
    if (error) {
      EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const QueryRow* row) {
        return row->from_many().ambiguous && row->from_many().name == error->name;
      })) << doc;
      continue;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(answer(std::nullopt, results[i], doc), rows[i]->from_many())
          << rows[i]->path << " with the others, line " << rows[i]->line;
    }
  }
}

}  // namespace
}  // namespace varnex::engine::testing
