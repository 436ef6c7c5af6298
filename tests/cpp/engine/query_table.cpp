// Reads tests/cases/queries.txt (its grammar is described at its top).
#include "query_table.hpp"

#include <fstream>
#include <stdexcept>

namespace varnex::engine::testing {
namespace {

// The tokens of one line: bare words, and quoted strings with their escapes resolved.
struct Token {
  bool quoted = false;
  std::string text;
};

std::vector<Token> tokens(const std::string& line) {
  std::vector<Token> out;
  for (size_t i = 0; i < line.size();) {
    if (line[i] == ' ') {
      ++i;
    } else if (line[i] != '"') {
      const size_t end = std::min(line.find(' ', i), line.size());
      out.push_back(Token{false, line.substr(i, end - i)});
      i = end;
    } else {
      Token t{true, {}};
      for (++i; line.at(i) != '"'; ++i) {
        if (line[i] != '\\') {
          t.text += line[i];
        } else if (line.at(++i) == 'x') {
          t.text += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          t.text += line[i] == 'n' ? '\n' : line[i] == 't' ? '\t' : line[i];
        }
      }
      ++i;
      out.push_back(std::move(t));
    }
  }
  return out;
}

// An answer from toks[at...]: `error "name"`, or quoted items up to the next word.
Answer read_answer(const std::vector<Token>& toks, size_t& at) {
  Answer a;
  if (at < toks.size() && toks[at].text == "error" && !toks[at].quoted) {
    a.ambiguous = true;
    a.name = toks.at(at + 1).text;
    at += 2;
  }
  while (at < toks.size() && toks[at].quoted) a.items.push_back(toks[at++].text);
  return a;
}

std::vector<QueryRow> load() {
  std::ifstream file(VARNEX_QUERY_CASES);
  if (!file) throw std::runtime_error("cannot open " VARNEX_QUERY_CASES);
  std::vector<QueryRow> rows;
  std::string doc;
  std::string line;
  for (int n = 1; std::getline(file, line); ++n) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<Token> toks = tokens(line);
    if (toks[0].text == "doc" && !toks[0].quoted) {
      doc = toks.at(1).text;
      continue;
    }
    QueryRow row{n, doc, toks[0].text, {}, {}};
    size_t at = 2;
    row.single = read_answer(toks, at);
    if (at < toks.size() && toks[at].text == "many") row.many = read_answer(toks, ++at);
    if (toks.at(1).text != "=>" || at != toks.size()) {
      throw std::runtime_error("bad query line " + std::to_string(n));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

const std::vector<QueryRow>& query_rows() {
  static const std::vector<QueryRow> rows = load();
  return rows;
}

}  // namespace varnex::engine::testing
