// Reads tests/cases/queries.txt (its grammar is described at its top).
#include "query_table.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace varnex::engine::testing {
namespace {

// The tokens of one line: bare words, and quoted strings with their escapes resolved.
struct Token {
  bool quoted = false;
  std::string text;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::runtime_error("bad \\x escape");
}

std::vector<Token> tokens(const std::string& line) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
    } else if (line[i] == '"') {
      Token t{true, {}};
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\') {
          t.text += line[i];
          continue;
        }
        const char e = line.at(++i);
        switch (e) {
          case 'n': t.text += '\n'; break;
          case 't': t.text += '\t'; break;
          case 'x':
            t.text += static_cast<char>(hex_digit(line.at(i + 1)) * 16 + hex_digit(line.at(i + 2)));
            i += 2;
            break;
          default: t.text += e; break;
        }
      }
      if (i++ >= line.size()) throw std::runtime_error("unclosed string");
      out.push_back(std::move(t));
    } else {
      const size_t end = line.find(' ', i);
      out.push_back(Token{false, line.substr(i, end == std::string::npos ? end : end - i)});
      i = end == std::string::npos ? line.size() : end;
    }
  }
  return out;
}

// Reads an answer from toks[at...] up to the word `stop` or the end.
Answer read_answer(const std::vector<Token>& toks, size_t& at) {
  Answer a;
  if (at < toks.size() && !toks[at].quoted && toks[at].text == "error") {
    a.ambiguous = true;
    a.name = toks.at(at + 1).text;
    at += 2;
    return a;
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
    if (!toks[0].quoted && toks[0].text == "doc") {
      doc = toks.at(1).text;
      continue;
    }
    QueryRow row;
    row.line = n;
    row.doc = doc;
    row.path = toks.at(0).text;
    if (toks.at(1).text != "=>") throw std::runtime_error("line " + std::to_string(n));
    size_t at = 2;
    row.single = read_answer(toks, at);
    if (at < toks.size() && toks[at].text == "many") {
      ++at;
      row.many = read_answer(toks, at);
    }
    if (at != toks.size()) throw std::runtime_error("line " + std::to_string(n));
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
