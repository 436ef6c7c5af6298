// Engine throughput and memory. Single paths over a generated 66 MB catalog of 263-byte records
// (a count, the last record by attribute, validation, every title, filters of one test, of any
// item, of joined tests and nested, a descendant count and search); the eight paths of the
// harness's workload 8 over a 128 MB catalog shaped like benchmarks/gen.py's, in one pass and one
// by one; the heap a counted descendant search needs.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/engine.hpp"
#include "path/compiler.hpp"
#include "path/shape.hpp"
#include "xml/index.hpp"

// Heap in use and its peak, for the memory figures. (GCC takes the free() in these
// replacements for a mismatch with new.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<size_t> g_heap{0};
std::atomic<size_t> g_heap_peak{0};

void note_alloc(void* p) {
  const size_t now = g_heap.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  size_t peak = g_heap_peak.load();
  while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now)) {
  }
}
}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  note_alloc(p);
  return p;
}
void operator delete(void* p) noexcept {
  if (p != nullptr) g_heap.fetch_sub(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  if (p != nullptr) g_heap.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

namespace {

using varnex::engine::Items;
using varnex::engine::RunOptions;
using varnex::path::Program;
using varnex::path::ProgramPtr;

constexpr int kBooks = 250'000;

std::string book_id(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "bk%06d", i);
  return buf;
}

// Flat records of about 263 bytes: an id and a language, a title with an entity, an author, a
// price, a year, a genre and one to three tags. The single-path figures and their targets are on
// it.
std::string make_catalog() {
  static const char* const kTags[] = {"fiction", "science", "history", "poetry", "drama"};
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
  doc.reserve(size_t{kBooks} * 270);
  char buf[512];
  for (int i = 0; i < kBooks; ++i) {
    std::snprintf(
        buf, sizeof buf,
        "  <book id=\"%s\" lang=\"%s\">\n"
        "    <title>The Book &amp; Title Number %d</title>\n"
        "    <author>Author %d, Firstname</author>\n"
        "    <price>%d.%02d</price>\n    <year>%d</year>\n    <genre>%s</genre>\n    <tags>",
        book_id(i).c_str(), i % 3 == 0 ? "de" : "en", i, i % 97, 5 + i % 50, i % 100, 1950 + i % 70,
        kTags[i % 5]);
    doc += buf;
    for (int t = 0; t <= i % 3; ++t) {
      doc += "<tag>";
      doc += kTags[(i + t) % 5];
      doc += "</tag>";
    }
    doc += "</tags>\n  </book>\n";
  }
  doc += "</catalog>\n";
  return doc;
}

// The harness's catalog (benchmarks/gen.py): nested author, tags, a namespaced ISBN, an
// occasional series, entity and CDATA note. Its own random stream, the same shape.
struct HarnessCatalog {
  std::string doc;
  int records = 0;
};

HarnessCatalog make_harness_catalog(size_t size) {
  static const char* const kWords[] = {
      "amber",  "basalt",  "cedar",  "delta",   "ember",  "fjord",   "garnet", "harbor",
      "indigo", "juniper", "kelp",   "lumen",   "marrow", "nectar",  "onyx",   "pylon",
      "quartz", "raven",   "sable",  "tundra",  "umber",  "vessel",  "willow", "xylem",
      "yarrow", "zephyr",  "orbit",  "lantern", "meadow", "cobalt",  "prism",  "tidal",
      "vertex", "summit",  "canyon", "aurora",  "beacon", "cipher",  "drift",  "echo",
      "fathom", "glacier", "hollow", "island",  "jetty",  "keystone"};
  static const char* const kFirst[] = {"Ada",   "Bruno", "Chiara", "Dmitri", "Elif",
                                       "Farid", "Greta", "Hugo",   "Ines",   "Jonas",
                                       "Kaori", "Lena",  "Milo",   "Nadia"};
  static const char* const kLast[] = {"Okafor", "Petrov", "Quinn", "Rossi", "Sato",
                                      "Tanaka", "Ueda",   "Varga", "Weber", "Xu",
                                      "Yilmaz", "Zhou",   "Moreau"};
  static const char* const kTags[] = {"fiction", "history", "science", "travel",   "poetry",
                                      "drama",   "essays",  "crime",   "children", "art"};
  static const char* const kLangs[] = {"en", "en", "en", "de", "fr", "es"};
  std::mt19937_64 rng(1);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  const auto range = [&](int lo, int hi) { return lo + pick(hi - lo + 1); };
  const auto words = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
      if (i > 0) s += ' ';
      s += kWords[pick(46)];
    }
    return s;
  };
  const auto title = [&] {
    std::string t = words(range(2, 5));
    bool up = true;
    for (char& c : t) {
      if (up && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      up = c == ' ';
    }
    if (pick(100) < 8) t += std::string(" &amp; ") + kWords[pick(46)];
    return t;
  };
  HarnessCatalog out;
  std::string& doc = out.doc;
  doc.reserve(size + 4096);
  doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog xmlns:x=\"urn:varnex:bench\">\n";
  const std::string tail = "</catalog>\n";
  char buf[256];
  while (doc.size() + tail.size() < size) {
    std::snprintf(buf, sizeof buf, "  <book id=\"bk%07d\" lang=\"%s\" x:rating=\"%d\">\n",
                  out.records, kLangs[pick(6)], range(1, 5));
    doc += buf;
    doc += "    <title>" + title() + "</title>\n";
    doc += std::string("    <author><first>") + kFirst[pick(14)] + "</first><last>" +
           kLast[pick(13)] + "</last></author>\n";
    const int cents = range(100, 6000);
    std::snprintf(buf, sizeof buf,
                  "    <price currency=\"EUR\">%d.%02d</price>\n    <year>%d</year>\n    <tags>",
                  cents / 100, cents % 100, range(1950, 2024));
    doc += buf;
    for (int i = 0, n = range(1, 3); i < n; ++i)
      doc += std::string("<tag>") + kTags[pick(10)] + "</tag>";
    doc += "</tags>\n    <summary>" + words(range(8, 30)) + ".</summary>\n";
    if (pick(100) < 15) {
      doc += "    <series><title>" + title() + "</title><number>" + std::to_string(range(1, 9)) +
             "</number></series>\n";
    }
    if (pick(100) < 10) doc += "    <note><![CDATA[<b>" + words(4) + "</b> & more]]></note>\n";
    std::snprintf(buf, sizeof buf, "    <x:isbn>978-%d-%05d-%03d-%d</x:isbn>\n  </book>\n",
                  pick(10), range(10000, 99999), range(100, 999), pick(10));
    doc += buf;
    ++out.records;
  }
  doc += tail;
  return out;
}

// The harness's eight paths for the catalog (benchmarks/workloads.py, workload 8).
std::vector<std::string> eight_paths(int records) {
  char key[16];
  std::snprintf(key, sizeof key, "bk%07d", records - 1 - records / 50);
  return {
      "catalog.book.0.title",
      "catalog.book.#",
      std::string("catalog.book#(@id==\"") + key + "\").title",
      "catalog.book#(price>30)#.@id",
      "catalog.book.#.@id",
      "catalog.book#(@lang==\"de\")#.title",
      "catalog.book.#.title|@last",
      "catalog.book.#.x:isbn",
  };
}

ProgramPtr compile(const std::string& text) {
  auto r = varnex::path::compile(text);
  if (auto* e = std::get_if<varnex::path::ParseError>(&r)) {
    std::fprintf(stderr, "cannot compile %s: %s\n", text.c_str(), e->message().c_str());
    std::exit(1);
  }
  return std::get<ProgramPtr>(r);
}

// Set from the command line: run only the cases whose name contains it (for profiling).
const char* g_only = nullptr;

bool selected(const std::string& name) {
  return g_only == nullptr || name.find(g_only) != std::string::npos;
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

double report(const std::string& name, size_t bytes, double seconds, double target_mbs) {
  const double mbs = static_cast<double>(bytes) / 1e6 / seconds;
  std::printf("%-50s %8.1f MB/s  (%7.2f ms", name.c_str(), mbs, seconds * 1e3);
  if (target_mbs > 0) {
    std::printf(", target %.0f MB/s)%s\n", target_mbs, mbs >= target_mbs ? "" : "  BELOW TARGET");
  } else {
    std::printf(")\n");
  }
  return mbs;
}

void check(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "result check failed: %s\n", what.c_str());
    std::exit(1);
  }
}

// Heap growth at the peak of `fn`, beyond what was in use when it began.
size_t extra_heap(const std::function<void()>& fn) {
  const size_t base = g_heap.load();
  g_heap_peak.store(base);
  fn();
  return g_heap_peak.load() - base;
}

// One path alone, through the engine's entry.
std::optional<varnex::engine::EngineError> run_one(const Program& program, std::string_view doc,
                                                   Items& items, unsigned threads = 1) {
  RunOptions options;
  options.capture_spans = true;
  options.threads = threads;
  const Program* const programs[] = {&program};
  return varnex::engine::run(programs, doc, options, std::span(&items, 1));
}

// A table's work over the catalog: each book found, then its fields read inside it, as
// records do (the fields' paths in the form a table runs them).
void record_fields(std::string_view doc) {
  static const ProgramPtr books = varnex::path::each_at_end(compile("catalog.book.#"));
  static const std::vector<ProgramPtr> fields = [] {
    std::vector<ProgramPtr> out;
    for (const char* f : {"@id", "title", "price", "year"}) {
      out.push_back(varnex::path::every_match(compile(f)));
    }
    return out;
  }();
  std::vector<const Program*> raw;
  for (const ProgramPtr& f : fields) raw.push_back(f.get());
  Items records;
  (void)run_one(*books, doc, records);
  varnex::engine::WithinPass pass(raw, true);
  std::vector<Items> answers;
  for (size_t i = 0; i < records.size(); ++i) (void)pass.run(records.bytes(i, doc), answers);
}

// The paths as a set, in one pass; `results` are made one per path.
std::optional<varnex::engine::EngineError> run_set(const std::vector<const Program*>& programs,
                                                   std::string_view doc,
                                                   std::vector<Items>& results) {
  RunOptions options;
  options.capture_spans = true;
  options.as_set = true;
  results.resize(programs.size());
  return varnex::engine::run(programs, doc, options, results);
}

}  // namespace

// Runs the selected harness cases once each, unchecked and untimed: for counting instructions
// under valgrind.
int profile(const std::string& doc, const std::vector<ProgramPtr>& programs,
            const std::vector<std::string>& names) {
  std::vector<const Program*> raw;
  for (const auto& p : programs) raw.push_back(p.get());
  Items items;
  std::vector<Items> many;
  for (size_t i = 0; i < programs.size(); ++i) {
    if (selected("  alone: " + names[i])) (void)run_one(*programs[i], doc, items);
  }
  if (selected("eight paths, one pass")) {
    (void)run_set(raw, doc, many);
  }
  return 0;
}

// Arguments: runs (7; 0 profiles), a name filter, the harness catalog's size in MB (128).
int main(int argc, char** argv) {
  // VARNEX_INDEX=portable|sse2|avx2 pins a narrower classifier, to compare them.
  if (const char* path = std::getenv("VARNEX_INDEX"); path != nullptr) {
    varnex::xml::detail::IndexPath pinned{};
    if (varnex::xml::detail::index_path_named(path, &pinned)) {
      varnex::xml::detail::set_index_path(pinned);
    }
  }
  const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
  if (argc > 2 && argv[2][0] != '\0') g_only = argv[2];
  const size_t harness_mb = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 128;
  if (runs == 0 && g_only != nullptr && std::strstr(g_only, "alone") == nullptr &&
      std::strstr(g_only, "eight paths") == nullptr) {
    // Profiling a single path over the flat catalog: its name is the path (or "validate").
    // VARNEX_THREADS=N cuts the document among N threads (instructions.sh --threads).
    const char* threads_text = std::getenv("VARNEX_THREADS");
    const unsigned threads =
        threads_text != nullptr ? static_cast<unsigned>(std::atoi(threads_text)) : 1;
    const std::string doc = make_catalog();
    if (std::strcmp(g_only, "validate") == 0) {
      return varnex::engine::validate(doc, threads) ? 0 : 1;
    }
    if (std::strcmp(g_only, "record fields") == 0) {
      record_fields(doc);
      return 0;
    }
    Items items;
    (void)run_one(*compile(g_only), doc, items, threads);
    return 0;
  }
  if (runs == 0) {
    const HarnessCatalog harness = make_harness_catalog(harness_mb << 20);
    const std::vector<std::string> names = eight_paths(harness.records);
    std::vector<ProgramPtr> programs;
    for (const std::string& p : names) programs.push_back(compile(p));
    return profile(harness.doc, programs, names);
  }
  const std::string doc = make_catalog();
  std::printf("catalog: %zu bytes, %d books, best CPU time of %d runs\n", doc.size(), kBooks, runs);

  // Results are checked against what the generator wrote before anything is timed.
  const auto titles = compile("catalog.book.#.title");
  Items items;
  check(!run_one(*titles, doc, items), "titles ran");
  check(items.size() == kBooks, "one title per book");
  check(varnex::engine::item_text(items.back(), doc) ==
            "The Book & Title Number " + std::to_string(kBooks - 1),
        "last title text");

  const std::string last = book_id(kBooks - 1);
  const auto by_id = compile("catalog.book#(@id==\"" + last + "\").title");
  check(!run_one(*by_id, doc, items), "filter ran");
  check(items.size() == 1 && varnex::engine::item_text(items[0], doc) ==
                                 "The Book & Title Number " + std::to_string(kBooks - 1),
        "filtered title");
  check(varnex::engine::validate(doc), "document is valid");

  const auto run = [&items](const std::string& d, const ProgramPtr& p) {
    return [&d, &items, p] { (void)run_one(*p, d, items); };
  };
  struct Case {
    std::string name;
    std::function<void()> fn;
    double target_mbs;  // 0: informational
  };
  const auto count = compile("catalog.book.#");
  check(!run_one(*count, doc, items), "count ran");
  check(items.size() == 1 && varnex::engine::item_text(items[0], doc) == std::to_string(kBooks),
        "count");
  const Case singles[] = {
      {"count catalog.book.#", run(doc, count), 4500},
      {"last record by @id", run(doc, by_id), 3500},
      {"validate", [&] { check(varnex::engine::validate(doc), "valid"); }, 3000},
      {"every title (spans)", run(doc, titles), 2500},
      {"catalog.book#(price>10)#.@id", run(doc, compile("catalog.book#(price>10)#.@id")), 2000},
      {"**.tag|@count", run(doc, compile("**.tag|@count")), 3000},
      {"**.title (spans)", run(doc, compile("**.title")), 0},
      {"catalog.book.#.price|@sum", run(doc, compile("catalog.book.#.price|@sum")), 0},
      {"record fields (@id, title, price, year)", [&] { record_fields(doc); }, 0},
      {"catalog.book#(price>54)#.title (streaming)",
       run(doc, compile("catalog.book#(price>54)#.title")), 0},
      {"any tag: book#(tags.tag==\"poetry\")#.@id",
       run(doc, compile("catalog.book#(tags.tag==\"poetry\")#.@id")), 0},
      {"joined: book#(price>10 && @lang==\"de\")#.@id",
       run(doc, compile("catalog.book#(price>10 && @lang==\"de\")#.@id")), 0},
      {"nested: book#(tags#(tag==poetry || tag==drama) && !(genre==drama))#.@id",
       run(doc, compile("catalog.book#(tags#(tag==poetry || tag==drama) && !(genre==drama))#.@id")),
       0},
  };
  for (const Case& c : singles) {
    if (selected(c.name)) report(c.name, doc.size(), best_seconds(runs, c.fn), c.target_mbs);
  }

  // The eight paths of workload 8 over the harness-shaped catalog.
  const HarnessCatalog harness = make_harness_catalog(harness_mb << 20);
  const std::string& big = harness.doc;
  std::printf("harness catalog: %zu bytes, %d books\n", big.size(), harness.records);
  const std::vector<std::string> eight_paths = ::eight_paths(harness.records);
  std::vector<ProgramPtr> eight;
  std::vector<const Program*> eight_raw;
  for (const std::string& p : eight_paths) {
    eight.push_back(compile(p));
    eight_raw.push_back(eight.back().get());
  }
  // One pass must give each path what its own pass gives (as texts: a path ending in a
  // collecting modifier takes element texts in the multi-path scan).
  std::vector<Items> many;
  check(!run_set(eight_raw, big, many), "the set ran");
  for (size_t i = 0; i < eight.size(); ++i) {
    check(!run_one(*eight[i], big, items), "the path ran alone");
    check(!items.empty() && many[i].size() == items.size(), eight_paths[i]);
    for (size_t k = 0; k < items.size(); ++k) {
      check(varnex::engine::item_text(many[i][k], big) == varnex::engine::item_text(items[k], big),
            eight_paths[i]);
    }
  }
  check(varnex::engine::item_text(many[1][0], big) == std::to_string(harness.records), "count");

  double slowest = 0;
  std::string slowest_name;
  for (size_t i = 0; i < eight.size(); ++i) {
    const std::string name = "  alone: " + eight_paths[i];
    if (!selected(name)) continue;
    const double s = best_seconds(runs, run(big, eight[i]));
    report(name, big.size(), s, 0);
    if (s > slowest) {
      slowest = s;
      slowest_name = eight_paths[i];
    }
  }
  const std::string one_pass = "eight paths, one pass";
  if (selected(one_pass)) {
    const double s = best_seconds(runs, [&] { (void)run_set(eight_raw, big, many); });
    report(one_pass, big.size(), s, 2000);
    if (slowest > 0) {
      std::printf("%-50s %8.2f x    (target at most 1.5)\n", "  one pass / slowest path alone",
                  s / slowest);
    }
  }

  // A counted descendant search keeps a counter, not the matches.
  const auto tags = compile("**.tag|@count");
  const std::string mem_name = "**.tag|@count extra heap";
  if (selected(mem_name)) {
    // Fresh result containers: a reused one would hide its growth in its old capacity.
    const size_t alone = extra_heap([&] {
      Items counted;
      (void)run_one(*tags, big, counted);
      check(counted.size() == 1, "tags counted");
    });
    const std::vector<const Program*> with_title = {tags.get(), eight_raw[0]};
    const size_t together = extra_heap([&] {
      std::vector<Items> counted;
      (void)run_set(with_title, big, counted);
    });
    std::printf("%-50s %8.1f KB (alone), %.1f KB (in a set); target under 1024 KB\n",
                mem_name.c_str(), static_cast<double>(alone) / 1024.0,
                static_cast<double>(together) / 1024.0);
  }
  return 0;
}
