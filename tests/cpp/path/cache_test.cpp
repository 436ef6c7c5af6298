// Per-thread compile cache, quoted paths and the full text of path errors.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "path/cache.hpp"

namespace varnex::path::testing_support {
extern std::atomic<long> g_allocations;  // alloc_counter.cpp
extern std::atomic<long> g_live_bytes;
}  // namespace varnex::path::testing_support

namespace varnex::path {
namespace {

using testing_support::g_allocations;
using testing_support::g_live_bytes;

// "name.a.a…" with `steps` steps after the first.
std::string long_path(const std::string& name, size_t steps) {
  std::string path = name;
  for (size_t i = 0; i < steps; ++i) path += ".a";
  return path;
}

ProgramPtr cached(std::string_view path) {
  auto r = compile_cached(path);
  auto* p = std::get_if<ProgramPtr>(&r);
  return p != nullptr ? *p : nullptr;
}

// Stand-in for the interpreter's Unicode data: controls.
bool test_needs_escape(char32_t cp, void*) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

TEST(PathCache, HitAllocatesNothing) {
  const std::string path = "catalog.book#(price>10)#.title|@sort";
  ASSERT_NE(cached(path), nullptr);
  const long before = g_allocations.load();
  for (int i = 0; i < 100; ++i) {
    auto r = compile_cached(path);
    ASSERT_TRUE(std::holds_alternative<ProgramPtr>(r));
  }
  EXPECT_EQ(g_allocations.load(), before);
}

TEST(PathCache, FailuresAreNotStored) {
  const size_t before = path_cache_size();
  EXPECT_TRUE(std::holds_alternative<ParseError>(compile_cached("a.@id.b")));
  EXPECT_TRUE(std::holds_alternative<ParseError>(compile_cached("a.@id.b")));
  EXPECT_EQ(path_cache_size(), before);
}

TEST(PathCache, EmptiedWholeWhenFull) {
  // A fresh thread starts with an empty cache and leaves ours untouched.
  const size_t ours = path_cache_size();
  std::thread([] {
    EXPECT_EQ(path_cache_size(), 0u);
    const ProgramPtr first = cached("p0");
    for (size_t i = 1; i < kPathCacheCapacity; ++i) {
      ASSERT_NE(cached("p" + std::to_string(i)), nullptr);
    }
    EXPECT_EQ(path_cache_size(), kPathCacheCapacity);
    EXPECT_EQ(cached("p0"), first);                 // still a hit
    EXPECT_EQ(path_cache_size(), kPathCacheCapacity);
    ASSERT_NE(cached("p512"), nullptr);             // the 513th distinct path
    EXPECT_EQ(path_cache_size(), 1u);
    const ProgramPtr again = cached("p0");          // parsed anew
    EXPECT_NE(again, first);
    EXPECT_EQ(first->steps[0].name.text(), "p0");   // the evicted program is still alive
    EXPECT_EQ(path_cache_size(), 2u);
  }).join();
  EXPECT_EQ(path_cache_size(), ours);
}

TEST(PathCache, BoundedInBytes) {
  std::thread([] {
    const long before = g_live_bytes.load();
    // Programs too large to be worth keeping are compiled at each use and dropped.
    for (int i = 0; i < 8; ++i) {
      const ProgramPtr program = cached(long_path("p" + std::to_string(i), 128 << 10));
      ASSERT_NE(program, nullptr);
      EXPECT_GT(program_bytes(*program), kLargestCachedProgram);
    }
    EXPECT_EQ(path_cache_size(), 0u);
    EXPECT_LT(g_live_bytes.load() - before, 1 << 20);
    // Middle-sized ones fill the byte budget well before the entry limit.
    const size_t steps = 200;
    for (int i = 0; i < 400; ++i) {
      ASSERT_NE(cached(long_path("q" + std::to_string(i), steps)), nullptr);
    }
    EXPECT_LE(path_cache_bytes(), kPathCacheBytes);
    EXPECT_GT(path_cache_size(), 0u);
    EXPECT_LT(path_cache_size(), 400u);
    // The estimate the bound is kept by follows the heap bytes really held.
    const long held = g_live_bytes.load() - before;
    EXPECT_LT(held, static_cast<long>(path_cache_bytes() * 3 / 2));
    EXPECT_GT(held, static_cast<long>(path_cache_bytes() / 2));
  }).join();
}

// Controls and marks in quoted paths are checked where users see them, in the Python suite.
TEST(FormatPathError, WholeText) {
  // Stray bytes cannot come from Python, but must still produce something sane.
  EXPECT_EQ(quote_path("a\xFF", test_needs_escape, nullptr), "\"a\xEF\xBF\xBD\"");
  // The rejected name is searched for as written, backslash included.
  const auto modifier = compile_cached("a|@\\x");
  EXPECT_EQ(format_path_error(std::get<ParseError>(modifier), "a|@\\x", test_needs_escape, nullptr),
            "unknown modifier: @\\x\n  in path: \"a|@\\\\x\"\n" + std::string(14, ' ') + "^");
  // No caret when the search for the offending text fails.
  const ParseError e{ParseErrorKind::BadIndex, "999"};
  EXPECT_EQ(format_path_error(e, "a.b", nullptr, nullptr), "bad index: 999\n  in path: \"a.b\"");
  const ParseError paren{ParseErrorKind::UnmatchedParen, ""};
  EXPECT_EQ(format_path_error(paren, "'(')", nullptr, nullptr),
            "unmatched ( in filter\n  in path: \"'(')\"\n" + std::string(15, ' ') + "^");
  EXPECT_EQ(format_path_error(paren, "'('", nullptr, nullptr),
            "unmatched ( in filter\n  in path: \"'('\"");
  const ParseError text{ParseErrorKind::TextNotLast, ""};
  EXPECT_EQ(format_path_error(text, "", nullptr, nullptr),
            "#text must be the last component\n  in path: \"\"");
}

}  // namespace
}  // namespace varnex::path
