// Compiles arbitrary bytes as a path; every failure is also formatted. Must never crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "path/cache.hpp"
#include "path/compiler.hpp"
#include "path/describe.hpp"
#include "path/number.hpp"
#include "path/wildcard.hpp"

namespace {

bool escape_non_ascii_marks(char32_t cp, void*) { return cp < 0x20 || (cp >= 0x300 && cp < 0x370); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace varnex::path;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto r = compile(text);
  if (const auto* e = std::get_if<ParseError>(&r)) {
    const std::string message = format_path_error(*e, text, escape_non_ascii_marks, nullptr);
    const std::string head =
        e->message() + "\n  in path: " + quote_path(text, escape_non_ascii_marks, nullptr);
    if (message.compare(0, head.size(), head) != 0) __builtin_trap();
    // A caret, when there is one, stands under a byte of the path.
    const std::string_view caret = std::string_view(message).substr(head.size());
    if (!caret.empty()) {
      if (caret.size() < 14 || caret.front() != '\n' || caret.back() != '^') __builtin_trap();
      if (caret.size() - 2 >= 12 + size) __builtin_trap();
    }
    (void)compile_cached(text);
  } else {
    const Program& program = *std::get<ProgramPtr>(r);
    if (program.steps.empty()) __builtin_trap();
    // The compiler is a pure function of the text, and the cache agrees with it.
    auto again = compile_cached(text);
    if (!std::holds_alternative<ProgramPtr>(again)) __builtin_trap();
    if (describe(program) != describe(*std::get<ProgramPtr>(again))) __builtin_trap();
  }

  // The same bytes as a filter, a number, a pattern and a name.
  (void)parse_filter_expr(text);
  (void)parse_decimal(text);
  const std::string_view trimmed = trim_unicode_ws(text);
  if (trimmed.size() > text.size()) __builtin_trap();
  const size_t half = size / 2;
  const NameMatcher m = NameMatcher::parse(text.substr(0, half));
  (void)m.matches_bytes(text.substr(half), text.substr(half));
  (void)glob_match(text.substr(0, half), text.substr(half));
  return 0;
}
