// Engine throughput over a generated 100 MB catalog: spans, an attribute filter, validation,
// and eight paths in one multi-path pass against eight single-path passes.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "engine/engine.hpp"
#include "path/compiler.hpp"

namespace {

using varnex::engine::Items;

constexpr int kBooks = 250'000;

std::string book_id(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "bk%06d", i);
  return buf;
}

std::string make_catalog() {
  static const char* const kGenres[] = {"fiction", "science", "history", "poetry"};
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
  doc.reserve(size_t{kBooks} * 420);
  char buf[512];
  for (int i = 0; i < kBooks; ++i) {
    std::snprintf(buf, sizeof buf,
                  "  <book id=\"%s\" lang=\"%s\">\n"
                  "    <title>The Book &amp; Title Number %d</title>\n"
                  "    <author>Author %d, Firstname</author>\n"
                  "    <price>%d.%02d</price>\n    <year>%d</year>\n    <genre>%s</genre>\n"
                  "    <description>A long description of book %d, which goes on and on for a "
                  "little "
                  "while so that records weigh about what real ones do in a catalog "
                  "file.</description>\n"
                  "  </book>\n",
                  book_id(i).c_str(), i % 3 == 0 ? "de" : "en", i, i % 97, 5 + i % 50, i % 100,
                  1950 + i % 70, kGenres[i % 4], i);
    doc += buf;
  }
  doc += "</catalog>\n";
  return doc;
}

varnex::path::ProgramPtr compile(const std::string& text) {
  auto r = varnex::path::compile(text);
  if (auto* e = std::get_if<varnex::path::ParseError>(&r)) {
    std::fprintf(stderr, "cannot compile %s: %s\n", text.c_str(), e->message().c_str());
    std::exit(1);
  }
  return std::get<varnex::path::ProgramPtr>(r);
}

// Set from the command line: run only the cases whose name contains it (for profiling).
const char* g_only = nullptr;

bool selected(const char* name) {
  return g_only == nullptr || std::strstr(name, g_only) != nullptr;
}

// Thread CPU time: the machine is shared, and waiting for a core is not the engine's cost.
double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double best_seconds(int runs, const std::function<void()>& fn) {
  double best = 1e100;
  for (int i = 0; i < runs; ++i) {
    const double t0 = cpu_now();
    fn();
    best = std::min(best, cpu_now() - t0);
  }
  return best;
}

void report(const char* name, size_t bytes, double seconds, double target_mbs) {
  const double mbs = static_cast<double>(bytes) / 1e6 / seconds;
  std::printf("%-44s %8.1f MB/s  (%7.2f ms", name, mbs, seconds * 1e3);
  if (target_mbs > 0) {
    std::printf(", target %.0f MB/s)%s\n", target_mbs, mbs >= target_mbs ? "" : "  BELOW TARGET");
  } else {
    std::printf(")\n");
  }
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "result check failed: %s\n", what);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
  if (argc > 2) g_only = argv[2];
  const std::string doc = make_catalog();
  std::printf("catalog: %zu bytes, %d books, best CPU time of %d runs\n", doc.size(), kBooks, runs);

  // Results are checked against what the generator wrote before anything is timed.
  const auto titles = compile("catalog.book.#.title");
  Items items;
  check(!varnex::engine::run_with(*titles, doc, true, items), "titles ran");
  check(items.size() == kBooks, "one title per book");
  check(varnex::engine::item_text(items.back(), doc) ==
            "The Book & Title Number " + std::to_string(kBooks - 1),
        "last title text");

  const std::string last = book_id(kBooks - 1);
  const auto by_id = compile("catalog.book#(@id==\"" + last + "\").title");
  check(!varnex::engine::run_with(*by_id, doc, true, items), "filter ran");
  check(items.size() == 1 && varnex::engine::item_text(items[0], doc) ==
                                 "The Book & Title Number " + std::to_string(kBooks - 1),
        "filtered title");
  check(varnex::engine::validate(doc), "document is valid");

  struct Case {
    const char* name;
    std::function<void()> run;
    double target_mbs;  // 0: informational
  };
  const auto sum = compile("catalog.book.#.price|@sum");
  const auto desc = compile("**.genre|@count");
  const auto stream = compile("catalog.book#(price>54)#.title");
  const auto run = [&](const varnex::path::ProgramPtr& p) {
    return [&doc, &items, p] { (void)varnex::engine::run_with(*p, doc, true, items); };
  };
  // Eight paths: one run_many pass must give what eight run_with passes give.
  const char* const kEight[] = {
      "catalog.book.#.title",
      "catalog.book.#.@id",
      "catalog.book.#.price|@sum",
      "catalog.book.#.year|@max",
      "catalog.book#(price>54)#.title",
      "catalog.book#(@lang==\"de\")#.@id",
      "**.genre|@count",
      "catalog.book.#.author.#text",
  };
  std::vector<varnex::path::ProgramPtr> eight;
  std::vector<const varnex::path::Program*> eight_raw;
  for (const char* p : kEight) {
    eight.push_back(compile(p));
    eight_raw.push_back(eight.back().get());
  }
  std::vector<Items> many;
  check(!varnex::engine::run_many(eight_raw, doc, true, many), "run_many ran");
  for (size_t i = 0; i < eight.size(); ++i) {
    check(!varnex::engine::run_with(*eight[i], doc, true, items), "run_with ran");
    check(many[i].size() == items.size(), kEight[i]);
    for (size_t k = 0; k < items.size(); ++k) {
      check(varnex::engine::item_text(many[i][k], doc) == varnex::engine::item_text(items[k], doc),
            kEight[i]);
    }
  }
  const auto eight_single = [&] {
    for (const auto& p : eight) (void)varnex::engine::run_with(*p, doc, true, items);
  };
  const auto eight_many = [&] { (void)varnex::engine::run_many(eight_raw, doc, true, many); };

  const Case cases[] = {
      {"catalog.book.#.title (spans)", run(titles), 800},
      {"catalog.book#(@id==last).title", run(by_id), 3500},
      {"validate", [&] { check(varnex::engine::validate(doc), "valid"); }, 2500},
      {"catalog.book.#.price|@sum", run(sum), 0},
      {"**.genre|@count", run(desc), 0},
      {"catalog.book#(price>54)#.title (streaming)", run(stream), 0},
      {"eight paths, eight run_with passes", eight_single, 0},
      {"eight paths, one run_many pass", eight_many, 0},
  };
  for (const Case& c : cases) {
    if (selected(c.name)) report(c.name, doc.size(), best_seconds(runs, c.run), c.target_mbs);
  }
  return 0;
}
