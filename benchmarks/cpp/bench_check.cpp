// Throughput of the strict well-formedness check beside the structural validate, over a
// document read from the file named by the first argument (benchmarks/gen.py makes one), or
// else over a generated catalog shaped like gen.py's. Best of interleaved rounds.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/engine.hpp"
#include "xml/wellformed.hpp"

namespace {

std::string make_catalog(size_t bytes) {
  static const char* const kWords[] = {"amber", "basalt", "cedar",  "delta",  "ember",
                                       "fjord", "garnet", "harbor", "indigo", "juniper"};
  std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog xmlns:x=\"urn:varnex:bench\">\n";
  char buf[1024];
  unsigned seed = 1;
  const auto word = [&] {
    seed = seed * 1103515245u + 12345u;
    return kWords[(seed >> 16) % 10];
  };
  for (int i = 0; doc.size() < bytes; ++i) {
    std::snprintf(buf, sizeof buf,
                  "  <book id=\"bk%07d\" lang=\"en\" x:rating=\"%d\">\n"
                  "    <title>%s %s &amp; %s</title>\n"
                  "    <author><first>%s</first><last>%s</last></author>\n"
                  "    <price currency=\"EUR\">%d.%02d</price>\n    <year>%d</year>\n"
                  "    <tags><tag>%s</tag><tag>%s</tag></tags>\n"
                  "    <summary>%s %s %s %s %s %s %s %s %s %s %s %s.</summary>\n"
                  "    <x:isbn>978-7-%05d-%03d-5</x:isbn>\n  </book>\n",
                  i, i % 5 + 1, word(), word(), word(), word(), word(), i % 60, i % 100,
                  1950 + i % 75, word(), word(), word(), word(), word(), word(), word(), word(),
                  word(), word(), word(), word(), word(), word(), i % 100000, i % 1000);
    doc += buf;
  }
  doc += "</catalog>\n";
  return doc;
}

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  std::string doc;
  if (argc > 1) {
    std::ifstream in(argv[1], std::ios::binary);
    doc.assign(std::istreambuf_iterator<char>(in), {});
  } else {
    doc = make_catalog(size_t{64} << 20);
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (!varnex::xml::check_well_formed(doc).ok() || !varnex::engine::validate(doc)) {
    std::fprintf(stderr, "bench_check: the document is not well-formed\n");
    return 1;
  }
  double best_strict = 1e9;
  double best_validate = 1e9;
  for (int r = 0; r < rounds; ++r) {
    double t = now();
    const bool ok = varnex::xml::check_well_formed(doc).ok();
    best_strict = std::min(best_strict, now() - t);
    t = now();
    const bool valid = varnex::engine::validate(doc);
    best_validate = std::min(best_validate, now() - t);
    if (!ok || !valid) return 1;
  }
  const double mb = static_cast<double>(doc.size()) / 1e6;
  std::printf("check_well_formed  %8.1f MB/s\n", mb / best_strict);
  std::printf("validate           %8.1f MB/s\n", mb / best_validate);
  return 0;
}
