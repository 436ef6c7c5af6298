// Per-thread compile cache and the text of path errors.
#include "path/cache.hpp"

#include <functional>
#include <unordered_map>

#include "base/utf8.hpp"
#include "path/lexical.hpp"

namespace varnex::path {

namespace {

// Lets a std::string_view find a std::string key without building one, so a hit allocates nothing.
struct PathHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using PathMap = std::unordered_map<std::string, ProgramPtr, PathHash, std::equal_to<>>;

struct PathCache {
  PathMap entries;
  PathMap mapped;    // paths read with a prefix map, by the map's key and the path
  size_t bytes = 0;  // entry_bytes of every entry
};

PathCache& this_thread_cache() {
  thread_local PathCache cache;
  return cache;
}

// Allocation overhead of a hash node or a shared object's control block, roughly.
constexpr size_t kNodeOverhead = 64;

size_t string_bytes(const std::string& s) noexcept {
  return s.capacity() > std::string().capacity() ? s.capacity() + 1 : 0;
}

size_t steps_bytes(const std::vector<Step>& steps) noexcept;

size_t filter_bytes(const Filter* filter) noexcept {
  if (filter == nullptr) return 0;
  size_t total = kNodeOverhead + sizeof(Filter) + filter->nodes.capacity() * sizeof(FilterNode) +
                 filter->tests.capacity() * sizeof(FilterTest);
  for (const FilterTest& t : filter->tests) {
    total += steps_bytes(t.path) + (t.attr ? string_bytes(*t.attr) : 0) + string_bytes(t.value.str);
  }
  return total;
}

size_t steps_bytes(const std::vector<Step>& steps) noexcept {
  size_t total = steps.capacity() * sizeof(Step);
  for (const Step& step : steps) {
    total += string_bytes(step.name.text()) + string_bytes(step.name.ns().uri) +
             string_bytes(step.attr) + string_bytes(step.attr_ns.uri) +
             filter_bytes(step.selector.filter.get());
  }
  return total;
}

size_t entry_bytes(std::string_view path, const Program& program) noexcept {
  return kNodeOverhead + sizeof(PathMap::value_type) + path.size() + program_bytes(program);
}

bool default_needs_escape(char32_t cp) noexcept { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

void append_hex_escape(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 20; shift >= 0; shift -= 4) {
    const auto nibble = static_cast<unsigned>((cp >> shift) & 0xF);
    if (nibble != 0 || started || shift == 0) {
      out.push_back(kHex[nibble]);
      started = true;
    }
  }
  out.push_back('}');
}

// Offset of the ')' that first closes more than was opened, else of the last '(' opened at depth
// zero; the same scanning rules as the pipe split.
std::optional<size_t> unmatched_paren_position(std::string_view path) {
  size_t depth = 0;
  std::optional<size_t> last_open;
  const size_t stray = detail::find_live(path, 0, [&](size_t i) {
    if (path[i] == '(') {
      if (depth == 0) last_open = i;
      ++depth;
    } else if (path[i] == ')') {
      if (depth == 0) return true;
      --depth;
    }
    return false;
  });
  if (stray != std::string_view::npos) return stray;
  return last_open;
}

std::optional<size_t> find_in(std::string_view path, std::string_view needle) {
  const size_t at = path.find(needle);
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}

std::optional<size_t> caret_position(const ParseError& error, std::string_view path) {
  if (error.at != kNoCaret) return error.at < path.size() ? std::optional(error.at) : std::nullopt;
  switch (error.kind) {
    case ParseErrorKind::EmptyPath:
    case ParseErrorKind::IndexWithoutName:
    case ParseErrorKind::EachWithoutName:
    case ParseErrorKind::FilterTooDeep: return std::nullopt;
    case ParseErrorKind::BadIndex:
    case ParseErrorKind::MissingOperator: return find_in(path, error.text);
    case ParseErrorKind::AttrNotLast:
    case ParseErrorKind::EmptyAttrName: return find_in(path, "@");
    case ParseErrorKind::TextNotLast: return find_in(path, "#text");
    case ParseErrorKind::UnmatchedParen: return unmatched_paren_position(path);
    case ParseErrorKind::UnknownModifier: {
      std::string needle = "@";
      needle += error.text;
      return find_in(path, needle);
    }
    case ParseErrorKind::EmptyModifierName: return find_in(path, "|");
    case ParseErrorKind::DescendantWithoutName:
    case ParseErrorKind::DescendantWithSelector: return find_in(path, "**");
    case ParseErrorKind::MissingOperand:
    case ParseErrorKind::NotWithoutTest:
    case ParseErrorKind::EmptyParens:
    case ParseErrorKind::MissingJoin:
    case ParseErrorKind::UnclosedBrace:
    case ParseErrorKind::BraceInName:
    case ParseErrorKind::EmptyLocalName:
    case ParseErrorKind::PrefixInClark:
    case ParseErrorKind::UnboundPrefix: return std::nullopt;  // raised with their offset
  }
  return std::nullopt;
}

}  // namespace

size_t program_bytes(const Program& program) noexcept {
  return kNodeOverhead + sizeof(Program) + steps_bytes(program.steps) +
         program.modifiers.capacity() * sizeof(Modifier);
}

namespace {

// Keeps a newly compiled program under `key` in `entries`, one of the cache's maps.
void keep(PathCache& cache, PathMap& entries, std::string_view key, const ProgramPtr& program) {
  const size_t bytes = entry_bytes(key, *program);
  if (bytes > kLargestCachedProgram) return;
  if (cache.entries.size() + cache.mapped.size() >= kPathCacheCapacity ||
      cache.bytes + bytes > kPathCacheBytes) {
    cache.entries.clear();
    cache.mapped.clear();
    cache.bytes = 0;
  }
  entries.emplace(std::string(key), program);
  cache.bytes += bytes;
}

}  // namespace

ParseResult<ProgramPtr> compile_cached(std::string_view path) {
  PathCache& cache = this_thread_cache();
  if (const auto hit = cache.entries.find(path); hit != cache.entries.end()) return hit->second;
  auto compiled = compile(path);
  if (const auto* program = std::get_if<ProgramPtr>(&compiled)) {
    keep(cache, cache.entries, path, *program);
  }
  return compiled;
}

ParseResult<ProgramPtr> compile_cached(std::string_view path, const NamespaceMap& namespaces) {
  PathCache& cache = this_thread_cache();
  const std::string map = namespaces.key();
  std::string key = std::to_string(map.size()) + ':' + map;
  key += path;
  if (const auto hit = cache.mapped.find(key); hit != cache.mapped.end()) return hit->second;
  auto compiled = compile(path, &namespaces);
  if (const auto* program = std::get_if<ProgramPtr>(&compiled)) {
    keep(cache, cache.mapped, key, *program);
  }
  return compiled;
}

size_t path_cache_size() noexcept {
  return this_thread_cache().entries.size() + this_thread_cache().mapped.size();
}

size_t path_cache_bytes() noexcept { return this_thread_cache().bytes; }

std::string quote_path(std::string_view path, NeedsEscapeFn needs_escape, void* ctx) {
  std::string out;
  out.reserve(path.size() + 2);
  out.push_back('"');
  size_t i = 0;
  while (i < path.size()) {
    const utf8::Decoded d = utf8::decode(path, i);
    if (!d.ok) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a stray byte; Python strings never hold one
      ++i;
      continue;
    }
    switch (d.cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default: {
        const bool escape =
            needs_escape != nullptr ? needs_escape(d.cp, ctx) : default_needs_escape(d.cp);
        if (escape) {
          append_hex_escape(out, d.cp);
        } else {
          out.append(path.substr(i, d.len));
        }
      }
    }
    i += d.len;
  }
  out.push_back('"');
  return out;
}

std::string format_path_error(const ParseError& error, std::string_view path,
                              NeedsEscapeFn needs_escape, void* ctx) {
  std::string out = error.message();
  out += "\n  in path: ";
  out += quote_path(path, needs_escape, ctx);
  if (const auto pos = caret_position(error, path)) {
    out.push_back('\n');
    out.append(*pos + 12, ' ');
    out.push_back('^');
  }
  return out;
}

}  // namespace varnex::path
