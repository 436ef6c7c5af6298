// Path compiler timings: a cold compile of a typical path with a filter, a cache hit, and a
// glob against a long name. Prints ns/op.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "path/cache.hpp"
#include "path/compiler.hpp"
#include "path/describe.hpp"
#include "path/wildcard.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class Fn>
double ns_per_op(long iterations, Fn&& fn) {
  // Warm up, then take the best of five runs to keep noise from a shared machine out.
  for (long i = 0; i < iterations / 10; ++i) fn();
  double best = 1e300;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    for (long i = 0; i < iterations; ++i) fn();
    const std::chrono::duration<double, std::nano> took = Clock::now() - start;
    best = std::min(best, took.count() / static_cast<double>(iterations));
  }
  return best;
}

volatile size_t g_sink = 0;

}  // namespace

int main() {
  using namespace varnex::path;
  constexpr std::string_view kPath = "catalog.book#(price>10)#.title";  // 30 characters
  constexpr std::string_view kExpected = "catalog / book[all (price > #10)] / title";

  // Check the result before timing it.
  const auto checked = compile(kPath);
  if (!std::holds_alternative<ProgramPtr>(checked) ||
      describe(*std::get<ProgramPtr>(checked)) != kExpected) {
    std::fprintf(stderr, "bench_path: unexpected program for %.*s\n",
                 static_cast<int>(kPath.size()), kPath.data());
    return 1;
  }

  const double cold = ns_per_op(200000, [&] {
    auto r = compile(kPath);
    g_sink = g_sink + std::get<ProgramPtr>(r)->steps.size();
  });
  const double plain = ns_per_op(200000, [&] {
    auto r = compile("catalog.book.0.title|@first");
    g_sink = g_sink + std::get<ProgramPtr>(r)->steps.size();
  });
  (void)compile_cached(kPath);
  const double hit = ns_per_op(2000000, [&] {
    auto r = compile_cached(kPath);
    g_sink = g_sink + std::get<ProgramPtr>(r)->steps.size();
  });

  const NameMatcher exact = NameMatcher::parse("title");
  const double exact_match =
      ns_per_op(5000000, [&] { g_sink = g_sink + exact.matches_bytes("x:title", "title"); });
  const NameMatcher glob = NameMatcher::parse("t*l?");
  const double glob_match_short =
      ns_per_op(2000000, [&] { g_sink = g_sink + glob.matches_bytes("x:title", "title"); });
  const std::string long_name(100 * 1024, 'a');
  const NameMatcher hostile = NameMatcher::parse("*a*a*a*a*a*b");
  const double glob_hostile =
      ns_per_op(20, [&] { g_sink = g_sink + hostile.matches_bytes(long_name, long_name); });

  std::printf("compile %-34s %8.1f ns/op\n", "(30-char path with filter)", cold);
  std::printf("compile %-34s %8.1f ns/op\n", "(catalog.book.0.title|@first)", plain);
  std::printf("compile_cached hit %-23s %8.1f ns/op\n", "", hit);
  std::printf("exact name match %-25s %8.1f ns/op\n", "", exact_match);
  std::printf("glob t*l? vs title %-23s %8.1f ns/op\n", "", glob_match_short);
  std::printf("glob *a*a*a*a*a*b vs 100 KB name %-9s %8.1f ns/op\n", "", glob_hostile);
  return 0;
}
