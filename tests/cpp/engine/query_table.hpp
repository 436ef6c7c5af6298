// The shared table of queries (tests/cases/queries.txt), read for the C++ suite.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace varnex::engine::testing {

// A query's expected answer: item texts, or the ambiguous step's name.
struct Answer {
  bool ambiguous = false;
  std::string name;
  std::vector<std::string> items;
  bool operator==(const Answer&) const = default;
};

struct QueryRow {
  int line = 0;
  std::string doc;
  std::string path;
  Answer single;
  std::optional<Answer> many;  // when the multi-path scan answers differently

  [[nodiscard]] const Answer& from_many() const { return many ? *many : single; }
};

inline std::ostream& operator<<(std::ostream& os, const Answer& a) {
  if (a.ambiguous) return os << "ambiguous at " << a.name;
  os << "{";
  for (const auto& item : a.items) os << " \"" << item << "\"";
  return os << " }";
}

inline void PrintTo(const QueryRow& row, std::ostream* os) {
  *os << "line " << row.line << ": " << row.path;
}

// The rows of the table, in file order.
const std::vector<QueryRow>& query_rows();

}  // namespace varnex::engine::testing
