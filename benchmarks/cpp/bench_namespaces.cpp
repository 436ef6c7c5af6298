// One path over one document, for benchmarks/namespaces.py to count under callgrind (the
// engine's pass alone: collect only inside varnex::engine::run) or to time.
//
// Usage: bench_namespaces FILE PATH [PREFIX=URI ...] [--runs N]
// With bindings the path is compiled with that prefix map ("=URI" binds the default). Prints
// the item count and, with --runs, the best wall time of N passes in milliseconds.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <variant>

#include "engine/engine.hpp"
#include "path/compiler.hpp"
#include "path/namespaces.hpp"

namespace {

double now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FILE PATH [PREFIX=URI ...] [--runs N]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  varnex::path::NamespaceMap map;
  bool mapped = false;
  int runs = 0;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
      continue;
    }
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr) {
      std::fprintf(stderr, "not PREFIX=URI: %s\n", argv[i]);
      return 2;
    }
    map.bind(std::string_view(argv[i], static_cast<size_t>(eq - argv[i])), eq + 1);
    mapped = true;
  }
  auto compiled = varnex::path::compile(argv[2], mapped ? &map : nullptr);
  if (const auto* error = std::get_if<varnex::path::ParseError>(&compiled)) {
    std::fprintf(stderr, "%s\n", error->message().c_str());
    return 2;
  }
  const auto& program = *std::get<varnex::path::ProgramPtr>(compiled);
  varnex::engine::Items items;
  varnex::engine::RunOptions options;
  options.capture_spans = true;
  const varnex::path::Program* const programs[] = {&program};
  const std::span results(&items, 1);
  if (auto error = varnex::engine::run(programs, doc, options, results)) {
    std::fprintf(stderr, "engine error: %s\n", error->name.c_str());
    return 1;
  }
  std::printf("%zu items", items.size());
  double best = 0;
  for (int r = 0; r < runs; ++r) {
    const double start = now_ms();
    (void)varnex::engine::run(programs, doc, options, results);
    const double ms = now_ms() - start;
    if (r == 0 || ms < best) best = ms;
  }
  if (runs > 0) std::printf(" %.3f ms", best);
  std::printf("\n");
  return 0;
}
