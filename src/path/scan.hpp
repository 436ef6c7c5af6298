// Internal: the one way every scan reads path text. A backslash makes the next byte inert, and
// a quote (' or ") hides everything up to the same quote character; an unclosed quote runs to
// the end.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnex::path::detail {

// Calls `fn(i)` for each byte at or after `from` that is neither escaped nor quoted (quote
// characters themselves excluded). Returns the first i for which fn returns true, else npos.
template <class Fn>
constexpr size_t find_live(std::string_view text, size_t from, Fn&& fn) {
  char quote = 0;
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      ++i;
    } else if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (fn(i)) {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace varnex::path::detail
