// The shared query table (tests/cases/queries.txt, its grammar described at its top) through
// the single-path entry point (spans and copies), the multi-path one for each path alone, and
// one multi-path pass per document for all its paths.
#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

// A query's answer: item texts, or the ambiguous step's name.
struct Answer {
  bool ambiguous = false;
  std::string name;
  V items;
  bool operator==(const Answer&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Answer& a) {
  if (a.ambiguous) return os << "ambiguous at " << a.name;
  os << "{";
  for (const auto& item : a.items) os << " \"" << item << "\"";
  return os << " }";
}

struct QueryRow {
  int line = 0;
  std::string doc;
  std::string path;
  Answer single;
  std::optional<Answer> many;  // when the multi-path scan answers differently
  [[nodiscard]] const Answer& from_many() const { return many ? *many : single; }
};

void PrintTo(const QueryRow& r, std::ostream* os) { *os << "line " << r.line << ": " << r.path; }

// A line's tokens: bare words, and quoted strings (marked by a leading '"') with their
// escapes resolved.
V tokens(const std::string& line) {
  V out;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ') continue;
    if (line[i] != '"') {
      const size_t end = std::min(line.find(' ', i), line.size());
      out.push_back(line.substr(i, end - i));
      i = end;
      continue;
    }
    std::string t = "\"";
    for (++i; line.at(i) != '"'; ++i) {
      const char c = line[i] == '\\' ? line.at(++i) : 0;
      if (c == 'x') {
        t += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        t += c == 'n' ? '\n' : c == 't' ? '\t' : c != 0 ? c : line[i];
      }
    }
    out.push_back(std::move(t));
  }
  return out;
}

// An answer from toks[at...]: `error "name"`, or quoted items up to the next word.
Answer read_answer(const V& toks, size_t& at) {
  Answer a;
  if (at < toks.size() && toks[at] == "error") {
    a = {true, toks.at(at + 1).substr(1), {}};
    at += 2;
  }
  for (; at < toks.size() && toks[at][0] == '"'; ++at) a.items.push_back(toks[at].substr(1));
  return a;
}

std::vector<QueryRow> load() {
  std::ifstream file(VARNEX_QUERY_CASES);
  if (!file) throw std::runtime_error("cannot open " VARNEX_QUERY_CASES);
  std::vector<QueryRow> rows;
  std::string doc, line;
  for (int n = 1; std::getline(file, line); ++n) {
    if (line.empty() || line[0] == '#') continue;
    const V toks = tokens(line);
    if (toks[0] == "doc") {
      doc = toks.at(1).substr(1);
      continue;
    }
    QueryRow row{n, doc, toks[0].substr(1), {}, {}};
    size_t at = 2;
    row.single = read_answer(toks, at);
    if (at < toks.size() && toks[at] == "many") row.many = read_answer(toks, ++at);
    if (toks.at(1) != "=>" || at != toks.size()) {
      throw std::runtime_error("bad query line " + std::to_string(n));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

const std::vector<QueryRow>& query_rows() {
  static const std::vector<QueryRow> rows = load();
  return rows;
}

// Item texts as a user sees them: an element with child elements as its markup, any other
// item as its text.
Answer answer(const std::optional<EngineError>& error, const Items& items, std::string_view doc) {
  if (error) return {true, error->name, {}};
  Answer a;
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

TEST_P(Table, SingleAndMultiPath) {
  const QueryRow& row = GetParam();
  const path::ProgramPtr program = compile_or_fail(row.path);
  ASSERT_TRUE(program);
  for (const bool spans : {true, false}) {
    Items items;
    const auto error = run_one(*program, row.doc, items, with_spans(spans));
    EXPECT_EQ(answer(error, items, row.doc), row.single) << row.path << (spans ? "" : " (copies)");
  }
  std::vector<Items> results;
  const auto error = run_set({program.get()}, row.doc, results, with_spans());
  EXPECT_EQ(answer(error, results.at(0), row.doc), row.from_many()) << row.path << " (a set)";
}

INSTANTIATE_TEST_SUITE_P(Queries, Table, ::testing::ValuesIn(query_rows()),
                         [](const auto& info) { return "line" + std::to_string(info.param.line); });

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
    const auto error = run_set(programs, doc, results, with_spans());
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
