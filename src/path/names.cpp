// Names in paths: Clark names "{uri}local", "{}local", "{*}local", and prefixes read through
// the caller's map.
#include <optional>

#include "path/compiler.hpp"
#include "path/filter_expr.hpp"

namespace varnex::path::detail {

namespace {

// The first byte at or after `from` that is `c` and not escaped, or npos.
size_t find_unescaped(std::string_view text, char c, size_t from = 0) noexcept {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == c) {
      return i;
    }
  }
  return std::string_view::npos;
}

bool has_free_wildcard(std::string_view text) noexcept {
  return find_unescaped(text, '*') != std::string_view::npos ||
         find_unescaped(text, '?') != std::string_view::npos;
}

}  // namespace

// name   = "{" uri "}" local | prefix ":" local | local
// uri    = { "\" any | any but "}" }      ("*": any namespace, empty: none)
// local  = a name pattern without "{" (nor ":" after braces)
ParseResult<QualifiedName> parse_name(std::string_view text, bool attr, Nesting at) {
  const auto fail = [&](ParseErrorKind kind, size_t pos, std::string_view payload = {}) {
    return ParseError{kind, std::string(payload), at.offset(text.data() + pos)};
  };
  QualifiedName out;
  if (!text.empty() && text.front() == '{') {
    const size_t close = find_unescaped(text, '}', 1);
    if (close == std::string_view::npos) return fail(ParseErrorKind::UnclosedBrace, 0);
    const std::string_view uri = text.substr(1, close - 1);
    out.local = text.substr(close + 1);
    if (out.local.empty()) return fail(ParseErrorKind::EmptyLocalName, close);
    if (const size_t brace = find_unescaped(out.local, '{'); brace != std::string_view::npos) {
      return fail(ParseErrorKind::BraceInName, close + 1 + brace);
    }
    if (const size_t colon = find_unescaped(out.local, ':'); colon != std::string_view::npos) {
      return fail(ParseErrorKind::PrefixInClark, close + 1 + colon);
    }
    if (uri == "*") return out;
    out.ns.kind = uri.empty() ? Namespace::Kind::None : Namespace::Kind::Uri;
    out.ns.uri = unescape_simple(uri);
    return out;
  }
  if (const size_t brace = find_unescaped(text, '{'); brace != std::string_view::npos) {
    return fail(ParseErrorKind::BraceInName, brace);
  }
  out.local = text;
  const NamespaceMap* map = at.namespaces;
  if (map == nullptr) return out;  // names mean what they are written as
  const size_t colon = find_unescaped(text, ':');
  if (colon == std::string_view::npos) {
    if (attr) return out;  // the default namespace is for elements only
    if (const auto uri = map->find("")) {
      out.ns.kind = Namespace::Kind::Uri;
      out.ns.uri.assign(*uri);
    }
    return out;
  }
  const std::string_view written = text.substr(0, colon);
  if (has_free_wildcard(written)) return out;  // a pattern over prefixes, as written
  const std::string prefix = unescape_simple(written);
  std::optional<std::string_view> uri;
  if (prefix == "xml") {
    uri = kXmlNamespace;
  } else if (prefix == "xmlns") {
    uri = kXmlnsNamespace;
  } else {
    uri = map->find(prefix);
  }
  if (!uri) return fail(ParseErrorKind::UnboundPrefix, 0, prefix);
  out.local = text.substr(colon + 1);
  if (out.local.empty()) return fail(ParseErrorKind::EmptyLocalName, colon);
  out.ns.kind = uri->empty() ? Namespace::Kind::None : Namespace::Kind::Uri;
  out.ns.uri.assign(*uri);
  return out;
}

}  // namespace varnex::path::detail
