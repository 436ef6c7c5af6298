// libFuzzer target for the query engine. The input drives a small grammar: a document of a few
// names, attributes, texts, CDATA sections, comments and empty elements (sometimes cut short),
// and a handful of paths over those names. Every path must give the same items alone
// (spans or copies), alone as a set of one, and together with the others as a set,
// up to the multi-path scan's two documented differences: a path ending in a collecting
// modifier takes elements as their text, and empty-element tags do not count for the ambiguity
// guard. Cut among ranges anywhere, they give one pass's answers. No span may leave the input,
// and every skip classifier gives the same answers. The walk over the first element is
// balanced and reads the same text as the element's text. A record's fields, read by the pass
// made ready for many elements, are the scan's.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/element_walk.hpp"
#include "engine/engine.hpp"
#include "path/compiler.hpp"
#include "path/shape.hpp"
#include "xml/index.hpp"
#include "xml/reader.hpp"

namespace {

using varnex::engine::Items;
using varnex::path::Program;
using varnex::path::ProgramPtr;

#define CHECK(cond)            \
  do {                         \
    if (!(cond)) std::abort(); \
  } while (0)

// The fuzzer's bytes as a stream of small choices; zeros once they run out.
class Choices {
 public:
  Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  unsigned pick(unsigned n) { return pos_ < size_ ? data_[pos_++] % n : 0; }
  bool chance(unsigned in) { return pick(in) == 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr const char* kNames[] = {"a", "b", "c", "p:b"};

void element(Choices& in, int depth, std::string& out) {
  const std::string name = kNames[in.pick(4)];
  out += '<' + name;
  if (in.chance(3)) out += " k=\"" + std::to_string(in.pick(4)) + '"';
  if (in.chance(5)) out += in.chance(2) ? " x:k=\"1\"" : " k2=\"&amp;\xff\"";
  if (depth > 4 || in.chance(5)) {
    out += "/>";
    return;
  }
  out += '>';
  for (unsigned i = 0, n = in.pick(5); i < n; ++i) {
    switch (in.pick(8)) {
      case 0: out += std::to_string(in.pick(10)); break;
      case 1: out += "<![CDATA[<b>1</b>]]>"; break;
      case 2: out += "<!-- <a> -->"; break;
      case 3: out += " &lt;2 "; break;
      default: element(in, depth + 1, out); break;
    }
  }
  out += "</" + name + '>';
}

std::string document(Choices& in) {
  std::string doc = in.chance(4) ? "<?xml version=\"1.0\"?>" : "";
  doc += "<r>";
  for (unsigned i = 0, n = in.pick(6); i < n; ++i) element(in, 0, doc);
  doc += "</r>";
  if (in.chance(6)) doc += "<r><a>9</a></r>";  // a second root
  if (in.chance(5)) doc.resize(in.pick(static_cast<unsigned>(doc.size()) + 1));
  return doc;
}

std::string filter(Choices& in) {
  constexpr const char* kFilters[] = {"@k==1",        "@x:k!=2",     "b>1",          "c.#>0",
                                      "#text%\"1*\"", "b.c==2",      "**.c==\"3\"",  "a.0.@k<3",
                                      "p:b==\"\"",    "#text!=\"\"", "@k2==\"x\"",   "b",
                                      "!(c.b)",       "b#(c==2)",    "a#(@k)#.b!=1", "**.a.@k==2"};
  // One test, or two joined (each perhaps negated): filters of several tests, some read on the
  // start tag, some inside.
  std::string f = kFilters[in.pick(16)];
  if (in.chance(2)) {
    const std::string other = kFilters[in.pick(16)];
    f = "(" + f + (in.chance(2) ? ") && " : ") || ") + (in.chance(3) ? "!(" + other + ")" : other);
  }
  return f;
}

std::string path(Choices& in) {
  std::string p = in.chance(3) ? "**." + std::string(kNames[in.pick(4)]) : "r";
  for (unsigned i = 0, n = in.pick(4); i < n; ++i) {
    p += '.';
    p += kNames[in.pick(4)];
    switch (in.pick(8)) {
      case 0: p += ".0"; break;
      case 1: p += ".1"; break;
      case 2: p += ".#"; break;
      case 3: p += "#(" + filter(in) + ")"; break;
      case 4: p += "#(" + filter(in) + ")#"; break;
      default: break;
    }
  }
  switch (in.pick(6)) {
    case 0: p += ".@k"; break;
    case 1: p += ".@x:k"; break;
    case 2: p += ".#text"; break;
    default: break;
  }
  constexpr const char* kModifiers[] = {
      "",       "",      "",         "|@count",   "|@first",       "|@last",
      "|@sort", "|@sum", "|@unique", "|@reverse", "|@count|@count"};
  return p + kModifiers[in.pick(11)];
}

// A field's path inside one element: names, perhaps each of several, then perhaps an attribute
// or a modifier; now and then what only the scan answers.
std::string field(Choices& in) {
  std::string p = kNames[in.pick(4)];
  for (unsigned i = 0, n = in.pick(3); i < n; ++i) {
    p += in.chance(2) ? ".#." : ".";
    p += kNames[in.pick(4)];
  }
  constexpr const char* kEnds[] = {"",          "",        "",       ".@k",     ".@x:k",
                                   ".@k2",      "|@count", "|@last", "|@first", ".#",
                                   "#(@k==1)#", ".0",      "**.a",   "*"};
  const std::string end = kEnds[in.pick(14)];
  if (end == "**.a" || end == "*") return (in.chance(2) ? "*." : "") + p + "." + end;
  return p + end;
}

// One item as text: elements as their bytes (spans and copies alike), values as theirs.
std::string render(const varnex::engine::Item& item, std::string_view doc) {
  if (const auto* s = std::get_if<varnex::engine::Span>(&item)) {
    CHECK(s->start <= s->end && s->end <= doc.size());
    return "E:" + std::string(doc.substr(s->start, s->end - s->start));
  }
  if (const auto* m = std::get_if<varnex::engine::Markup>(&item)) return "E:" + m->bytes;
  return "V:" + std::get<varnex::engine::Value>(item).bytes;
}

// A path's answer: its items, or the name of the step that matched twice.
struct Answer {
  bool failed = false;
  std::string name;
  std::vector<std::string> items;
  bool operator==(const Answer&) const = default;
};

Answer answer(const std::optional<varnex::engine::EngineError>& error, const Items& items,
              std::string_view doc, bool as_text) {
  Answer a;
  if (error) {
    a.failed = true;
    a.name = error->name;
    return a;
  }
  for (const auto& item : items) {
    a.items.push_back(as_text ? varnex::engine::item_text(item, doc) : render(item, doc));
  }
  return a;
}

using varnex::engine::RunOptions;

RunOptions options(bool spans, bool as_set, RunOptions::Scope scope = RunOptions::Scope::Document) {
  RunOptions o;
  o.capture_spans = spans;
  o.as_set = as_set;
  o.scope = scope;
  return o;
}

// `programs` through the engine's entry, one sequence each in `results`.
std::optional<varnex::engine::EngineError> run(std::span<const Program* const> programs,
                                               std::string_view doc, const RunOptions& o,
                                               std::vector<Items>& results) {
  results.assign(programs.size(), Items{});
  return varnex::engine::run(programs, doc, o, results);
}

Answer single(const Program& p, std::string_view doc, bool spans, bool as_text,
              RunOptions::Scope scope = RunOptions::Scope::Document) {
  std::vector<Items> items;
  const Program* const programs[] = {&p};
  const auto error = run(programs, doc, options(spans, false, scope), items);
  return answer(error, items[0], doc, as_text);
}

// What the multi-path scan gives a path against what it gets alone: the same answer, up to
// the documented differences.
void check_against_alone(const Program& p, const Answer& alone, const Answer& many,
                         const Answer& alone_texts, const Answer& many_texts) {
  if (many.failed) CHECK(alone.failed);  // the single path counts more tags for the guard
  if (alone.failed) return;
  CHECK(!many.failed);
  if (p.collect_mode == varnex::path::CollectMode::CollectAll) {
    CHECK(many_texts == alone_texts);  // elements taken as their text
  } else {
    CHECK(many == alone);
  }
}

// Checks that the walk nests: every part inside an open element, every element ended.
class WalkCheck final : public varnex::engine::ElementVisitor {
 public:
  bool start(std::string_view) override {
    CHECK(!done);
    ++depth;
    return true;
  }
  bool attribute(std::string_view, std::string_view) override {
    CHECK(depth > 0);
    return true;
  }
  bool text(std::string_view piece) override {
    CHECK(depth > 0);
    text_seen += piece;
    return true;
  }
  bool end() override {
    CHECK(depth > 0);
    done = --depth == 0;
    return true;
  }
  int depth = 0;
  bool done = false;
  std::string text_seen;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Choices in(data, size);
  const std::string doc = document(in);
  WalkCheck walk;
  CHECK(varnex::engine::walk_element(doc, walk));
  CHECK(walk.depth == 0);
  CHECK(walk.text_seen == varnex::engine::extract_element_text(doc));
  std::vector<ProgramPtr> programs;
  for (unsigned i = 0, n = 1 + in.pick(5); i < n; ++i) {
    auto compiled = varnex::path::compile(path(in));
    if (auto* p = std::get_if<ProgramPtr>(&compiled)) programs.push_back(*p);
  }
  if (programs.empty()) return 0;
  std::vector<const Program*> raw;
  for (const auto& p : programs) raw.push_back(p.get());

  std::vector<Items> together;
  const auto together_error = run(raw, doc, options(true, true), together);
  bool error_explained = false;  // some path alone fails the same way
  for (size_t i = 0; i < raw.size(); ++i) {
    const Program* p = raw[i];
    const Answer alone = single(*p, doc, true, false);
    CHECK(single(*p, doc, false, false) == alone);  // copies hold the bytes spans point at
    std::vector<Items> one;
    const auto one_error = run(std::span(&p, 1), doc, options(true, true), one);
    const Answer many = answer(one_error, one[0], doc, false);
    check_against_alone(*p, alone, many, single(*p, doc, true, true),
                        answer(one_error, one[0], doc, true));
    if (together_error) {
      error_explained = error_explained || (many.failed && many.name == together_error->name);
    } else {
      CHECK(answer(std::nullopt, together[i], doc, false) == many);  // company changes nothing
    }
    using varnex::xml::detail::IndexPath;
    const IndexPath chosen = varnex::xml::detail::index_path();
    varnex::xml::detail::set_index_path(IndexPath::Portable);
    const Answer portable = single(*p, doc, true, false);
    varnex::xml::detail::set_index_path(chosen);
    CHECK(portable == alone);
  }
  if (together_error) CHECK(error_explained);

  // The document cut among ranges anywhere (inside tags, comments, values, text): where the
  // paths can be cut, the answers are exactly those of one pass.
  std::vector<size_t> cuts;
  for (unsigned i = 0, n = 1 + in.pick(3); i < n; ++i) {
    cuts.push_back(in.pick(static_cast<unsigned>(doc.size()) + 1));
  }
  std::sort(cuts.begin(), cuts.end());
  CHECK(varnex::engine::validate(doc, 2, cuts) == varnex::engine::validate(doc));
  for (const Program* p : raw) {
    std::vector<Items> cut;
    cut.assign(1, Items{});
    if (const auto error =
            varnex::engine::run_cut_at(std::span(&p, 1), doc, options(true, false), cut, cuts)) {
      CHECK(answer(*error, cut[0], doc, false) == single(*p, doc, true, false));
    }
  }
  std::vector<Items> cut;
  cut.assign(raw.size(), Items{});
  if (const auto error = varnex::engine::run_cut_at(raw, doc, options(true, true), cut, cuts)) {
    CHECK(error->has_value() == together_error.has_value());
    if (*error) {
      CHECK((*error)->name == together_error->name);
    } else {
      for (size_t i = 0; i < raw.size(); ++i) {
        CHECK(answer(std::nullopt, cut[i], doc, false) ==
              answer(std::nullopt, together[i], doc, false));
      }
    }
  }

  // Fields of the first element as records read them: the pass made ready for many elements
  // (which walks children by a name table where the paths allow) against the scan.
  constexpr auto kElement = RunOptions::Scope::Element;
  std::vector<ProgramPtr> fields;
  for (unsigned i = 0, n = 1 + in.pick(4); i < n; ++i) {
    auto compiled = varnex::path::compile(field(in));
    if (auto* p = std::get_if<ProgramPtr>(&compiled)) {
      fields.push_back(varnex::path::every_match(*p));
    }
  }
  std::vector<const Program*> field_raw;
  for (const auto& p : fields) field_raw.push_back(p.get());
  for (const bool spans : {true, false}) {
    if (field_raw.empty()) break;
    std::vector<Items> scanned;
    const auto scan_error = run(field_raw, doc, options(spans, true, kElement), scanned);
    varnex::engine::WithinPass pass(field_raw, spans);
    std::vector<Items> walked;
    for (int round = 0; round < 2; ++round) {  // the second reuses the first's memory
      const auto walk_error = pass.run(doc, walked);
      CHECK(walk_error.has_value() == scan_error.has_value());
      for (size_t i = 0; !scan_error && i < field_raw.size(); ++i) {
        CHECK(answer(std::nullopt, walked[i], doc, false) ==
              answer(std::nullopt, scanned[i], doc, false));
      }
    }
  }

  // The same fields as the record pass reads them, passing each child of the root element on
  // its own reader: where it answers, the answer over the child's bytes, and the reader left as
  // passing the child leaves it.
  if (!field_raw.empty()) {
    varnex::engine::WithinPass pass(field_raw, true);
    varnex::xml::Reader reader(doc, varnex::xml::Config::query());
    varnex::xml::Reader passer(doc, varnex::xml::Config::query());
    std::vector<Items> inside;
    std::vector<Items> alone;
    for (varnex::xml::Event tag = reader.read_event();
         tag.kind != varnex::xml::EventKind::Eof && tag.kind != varnex::xml::EventKind::Error;
         tag = reader.read_event()) {
      const varnex::xml::Event passed = passer.read_event();
      CHECK(passed.kind == tag.kind && passed.content == tag.content);
      if (tag.kind != varnex::xml::EventKind::Start || reader.depth() != 2) continue;
      const size_t start = static_cast<size_t>(tag.content.data() - doc.data()) - 1;
      const bool read = pass.reads_inside() && pass.pass_inside(reader, tag, start, inside);
      if (!pass.reads_inside()) reader.pass_child(tag.name());
      passer.pass_child(passed.name());
      CHECK(reader.buffer_position() == passer.buffer_position());
      CHECK(reader.depth() == passer.depth());
      if (!read) continue;
      const std::string_view bytes =
          std::string_view(doc).substr(start, reader.buffer_position() - start);
      CHECK(!pass.run(bytes, alone));
      for (size_t i = 0; i < field_raw.size(); ++i) {
        CHECK(answer(std::nullopt, inside[i], bytes, false) ==
              answer(std::nullopt, alone[i], bytes, false));
      }
    }
  }

  // Relative to the document's first element: the multi-path form against the single one.
  std::vector<Items> within;
  if (run(raw, doc, options(false, true, kElement), within)) return 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    const Answer many = answer(std::nullopt, within[i], doc, false);
    check_against_alone(*raw[i], single(*raw[i], doc, false, false, kElement), many,
                        single(*raw[i], doc, false, true, kElement),
                        answer(std::nullopt, within[i], doc, true));
  }
  return 0;
}
