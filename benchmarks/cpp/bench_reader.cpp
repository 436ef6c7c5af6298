// Reader throughput on a markup-dense document and a text-heavy one (64 MB each unless
// told): a full read_event() pass, a read_to_end() of the root's content, and short
// skips (every element below the records). Best of several runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "xml/index.hpp"
#include "xml/reader.hpp"

namespace {

using varnex::xml::Config;
using varnex::xml::ErrorKind;
using varnex::xml::Event;
using varnex::xml::EventKind;
using varnex::xml::Reader;
using varnex::xml::SkipSpan;

size_t g_target_bytes = 64u << 20;  // each document's size
int g_runs = 9;
// Set from the command line: time only the passes whose label contains it (for profiling).
const char* g_only = nullptr;

// Many small elements with attributes, a little text, the odd comment:
// a catalogue-like feed. Deterministic (fixed LCG seed).
std::string make_document() {
  std::string doc;
  doc.reserve(g_target_bytes + 4096);
  doc += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  };
  static const char* const kKinds[] = {"book", "disc", "map", "toy"};
  static const char* const kCurrencies[] = {"EUR", "USD", "GBP"};
  char buf[512];
  for (uint32_t id = 0; doc.size() < g_target_bytes; ++id) {
    const uint32_t r = next();
    int n = std::snprintf(buf, sizeof buf,
                          "<item id=\"%u\" kind=\"%s\"><name lang='en'>Item %u</name>"
                          "<price currency=\"%s\">%u.%02u</price><stock n=\"%u\"/>"
                          "<tags><tag k=\"a%u\"/><tag k=\"b%u\"/></tags>",
                          id, kKinds[r & 3], id, kCurrencies[(r >> 2) % 3], (r >> 4) % 500,
                          (r >> 12) % 100, (r >> 16) % 40, r % 97, r % 89);
    doc.append(buf, static_cast<size_t>(n));
    if (r % 16 == 0) doc += "<!-- restocked -->";
    if (r % 8 == 1) doc += "<note>fragile &amp; heavy</note>";
    doc += "</item>\n";
  }
  doc += "</catalog>\n";
  return doc;
}

// Few records with long paragraphs of plain words: a text-heavy corpus.
std::string make_text_document() {
  std::string doc;
  doc.reserve(g_target_bytes + 65536);
  doc += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<corpus>\n";
  uint64_t state = 0x2545F4914F6CDD1Dull;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  };
  static const char* const kWords[] = {"amber",  "basalt", "cedar",  "delta", "ember",  "fjord",
                                       "garnet", "harbor", "indigo", "kelp",  "lumen",  "onyx",
                                       "quartz", "raven",  "sable",  "tidal", "vertex", "willow"};
  char buf[256];
  for (uint32_t id = 0; doc.size() < g_target_bytes; ++id) {
    const uint32_t r = next();
    int n = std::snprintf(buf, sizeof buf,
                          "  <doc id=\"d%06u\" lang=\"en\">\n    <title>Record %u</title>\n"
                          "    <words>%u</words>\n    <body>\n",
                          id, id, 400 + r % 900);
    doc.append(buf, static_cast<size_t>(n));
    for (uint32_t p = 4 + r % 11; p > 0; --p) {
      doc += "      <p>";
      for (uint32_t w = 40 + next() % 80; w > 0; --w) {
        doc += kWords[next() % std::size(kWords)];
        doc += w % 12 == 0 ? ". " : " ";
      }
      doc += "</p>\n";
    }
    doc += "    </body>\n  </doc>\n";
  }
  doc += "</corpus>\n";
  return doc;
}

struct PassResult {
  size_t events = 0;
  size_t checksum = 0;
};

// Not inlined, so that a profiler can count each pass alone.
[[gnu::noinline]] PassResult event_pass(const std::string& doc) {
  Reader r(doc, Config::query());
  PassResult res;
  for (;;) {
    const Event ev = r.read_event();
    if (ev.kind == EventKind::Eof || ev.kind == EventKind::Error) break;
    ++res.events;
    res.checksum += ev.content.size() + ev.name_len;
  }
  return res;
}

[[gnu::noinline]] SkipSpan skip_pass(const std::string& doc) {
  Reader r(doc, Config::query());
  Event ev;
  do {
    ev = r.read_event();
  } while (ev.kind != EventKind::Start && ev.kind != EventKind::Eof);
  SkipSpan span;
  if (ev.kind != EventKind::Start || r.read_to_end(ev.name(), &span) != ErrorKind::None) {
    std::fprintf(stderr, "skip failed\n");
    std::exit(1);
  }
  return span;
}

// The same skip as a plain event loop: the reference the fast skip must match.
SkipSpan reference_skip(const std::string& doc) {
  Reader r(doc, Config::query());
  Event ev;
  do {
    ev = r.read_event();
  } while (ev.kind != EventKind::Start);
  const std::string_view name = ev.name();
  const size_t start = r.buffer_position();
  size_t depth = 0;
  for (;;) {
    const size_t end = r.buffer_position();
    ev = r.read_event();
    if (ev.kind == EventKind::Start && ev.name() == name) ++depth;
    if (ev.kind == EventKind::End && ev.name() == name) {
      if (depth == 0) return SkipSpan{start, end};
      --depth;
    }
    if (ev.kind == EventKind::Eof || ev.kind == EventKind::Error) return SkipSpan{};
  }
}

// read_to_end of every element two levels below the root (a record's
// fields, a few dozen bytes each): the cost of many short skips.
[[gnu::noinline]] size_t short_skips(const std::string& doc) {
  Reader r(doc, Config::query());
  size_t depth = 0;
  size_t skipped = 0;
  for (;;) {
    const Event ev = r.read_event();
    if (ev.kind == EventKind::Eof || ev.kind == EventKind::Error) break;
    if (ev.kind == EventKind::End) --depth;
    if (ev.kind != EventKind::Start) continue;
    if (depth < 2) {
      ++depth;
      continue;
    }
    SkipSpan span;
    if (r.read_to_end(ev.name(), &span) != ErrorKind::None) break;
    skipped += span.end - span.start;
  }
  return skipped;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 1e30;  // steady_clock, best run
  double cpu = 1e30;   // this thread's CPU time, best run (steadier on a busy machine)
};

template <typename F>
Timing best_of(F&& f) {
  Timing best;
  for (int i = 0; i < g_runs; ++i) {
    const double c0 = thread_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    const double c1 = thread_cpu_seconds();
    best.wall = std::min(best.wall, std::chrono::duration<double>(t1 - t0).count());
    best.cpu = std::min(best.cpu, c1 - c0);
  }
  return best;
}

void report(const char* what, double mb, const Timing& t) {
  std::printf("  %-24s %8.1f MB/s wall (%6.1f ms), %8.1f MB/s cpu\n", what, mb / t.wall,
              t.wall * 1e3, mb / t.cpu);
}

bool selected(const std::string& name) {
  return g_only == nullptr || name.find(g_only) != std::string::npos;
}

// Checks the skip against the event loop, then times the three passes.
bool measure(const std::string& label, const std::string& doc) {
  static const char* const kPasses[] = {"read_event pass",     "read_to_end of the root",
                                        "short skips",         "read_to_end, portable",
                                        "read_to_end, SSE2",   "read_to_end, AVX2",
                                        "read_to_end, AVX-512"};
  bool any = false;
  for (const char* p : kPasses) any = any || selected(label + " " + p);
  if (!any) return true;
  const double mb = static_cast<double>(doc.size()) / 1e6;
  const SkipSpan fast = skip_pass(doc);
  const SkipSpan ref = reference_skip(doc);
  if (fast.start != ref.start || fast.end != ref.end || fast.end == 0) {
    std::fprintf(stderr, "%s: skip disagrees with the event loop\n", label.c_str());
    return false;
  }
  const PassResult pass = event_pass(doc);
  std::printf("%s: %.1f MB, %zu events\n", label.c_str(), mb, pass.events);
  volatile size_t sink = 0;
  const auto time = [&](const char* what, auto&& pass_fn) {
    if (!selected(label + " " + what)) return;
    report(what, mb, best_of([&] { sink = sink + pass_fn(); }));
  };
  time(kPasses[0], [&] { return event_pass(doc).checksum; });
  time(kPasses[1], [&] { return skip_pass(doc).end; });
  time(kPasses[2], [&] { return short_skips(doc); });
  // The same skip with each classifier of the index the processor has.
  using varnex::xml::detail::IndexPath;
  const IndexPath chosen = varnex::xml::detail::index_path();
  for (const IndexPath path : varnex::xml::detail::kIndexPaths) {
    if (!varnex::xml::detail::index_path_usable(path)) continue;
    varnex::xml::detail::set_index_path(path);
    time(kPasses[3 + static_cast<int>(path)], [&] { return skip_pass(doc).end; });
  }
  varnex::xml::detail::set_index_path(chosen);
  return true;
}

}  // namespace

// bench_reader [runs] [filter] [MB per document, 64]
int main(int argc, char** argv) {
  if (argc > 1) g_runs = std::max(1, std::atoi(argv[1]));
  if (argc > 2 && argv[2][0] != '\0') g_only = argv[2];
  if (argc > 3) g_target_bytes = static_cast<size_t>(std::max(1, std::atoi(argv[3]))) << 20;
  static const char* const kPathNames[] = {"the portable classifier", "SSE2", "AVX2", "AVX-512"};
  std::printf("best of %d runs; the index classifies with %s\n", g_runs,
              kPathNames[static_cast<int>(varnex::xml::detail::index_path())]);
  if (!measure("markup-dense", make_document())) return 1;
  if (!measure("text-heavy", make_text_document())) return 1;
  return 0;
}
