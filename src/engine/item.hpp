// Engine results: matched items and the engine's error value.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace varnex::engine {

// Owned copy of one element's markup.
struct Markup {
  std::string bytes;
};
// Half-open byte range of one element's markup within the document.
struct Span {
  uint32_t start = 0;
  uint32_t end = 0;
};
// Owned bytes (attribute values, text, counts); not necessarily UTF-8.
struct Value {
  std::string bytes;
};

using Item = std::variant<Markup, Span, Value>;
using Items = std::vector<Item>;

// The only error that leaves the engine: a step that must be unique matched twice.
struct EngineError {
  std::string name;  // the step's name text
};

}  // namespace varnex::engine
