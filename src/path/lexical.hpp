// Internal: the one way every pass over path text reads it. A backslash makes the next byte
// inert, a quote (' or ") hides everything up to the same quote character, and so does a name's
// namespace "{...}" up to its '}'; an unclosed quote or namespace runs to the end.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnex::path::detail {

// Just past the '}' that closes the '{' at `open` (a backslash makes the next byte inert), or
// the end of the text when none does.
constexpr size_t brace_end(std::string_view text, size_t open) {
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '}') {
      return i + 1;
    }
  }
  return text.size();
}

// Whether a '{' at `i` opens a name's namespace: it stands where a name starts.
constexpr bool opens_namespace(std::string_view text, size_t i) {
  if (i == 0) return true;
  switch (text[i - 1]) {
    case '.':
    case '@':
    case '(':
    case '!':
    case '&':
    case '|':
    case '*':
    case ' ':
    case '\t':
    case '\n':
    case '\r': return true;
    default: return false;
  }
}

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
    } else if (c == '{' && opens_namespace(text, i)) {
      i = brace_end(text, i) - 1;
    } else if (fn(i)) {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace varnex::path::detail
