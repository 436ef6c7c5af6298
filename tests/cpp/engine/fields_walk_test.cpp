// A record's fields by the walk over its children: item for item what the scan gives, for the
// paths and records the walk takes, and the scan's answer (by way of WithinPass) where it
// leaves them.
#include "engine/fields_walk.hpp"

#include <gtest/gtest.h>

#include <random>

#include "engine/engine_test_util.hpp"
#include "path/shape.hpp"
#include "xml/index.hpp"

namespace varnex::engine::testing {
namespace {

const std::vector<std::string> kFields = {"@id",
                                          "title",
                                          "author.first",
                                          "tags.#.tag",
                                          "price.@cur",
                                          "title|@count",
                                          "author.*.@n|@last",
                                          "@id|@first",
                                          "x:title",
                                          "t*",
                                          "author.*.@n",
                                          "@x:k",
                                          "nothing",
                                          "tags.tag.@a|@reverse"};

struct Case {
  const char* what;
  const char* record;
  bool walked;  // the walk answers it (else it leaves it to the scan)
};

const Case kCases[] = {
    {"plain",
     R"(<book id="b1" lang="en"><title>T</title><author><first>A</first>)"
     R"(<last n="2">B</last></author><price cur="EUR">12</price>)"
     R"(<tags><tag>x</tag><tag>y</tag></tags><title/></book>)",
     true},
    {"constructs",
     R"(<b><!-- <title>no</title> --><title><![CDATA[<x>]]></title>)"
     R"(<?pi <title>?><title a=">">v</title><tags><tag a='"'/></tags></b>)",
     true},
    {"same name nested", "<b><b><title>inner</title></b><title>outer</title></b>", true},
    {"prefixes", R"(<b xmlns:x="u" x:k="1"><x:title>p</x:title><title>q</title><y:t/></b>)", true},
    {"references", R"(<b id="a&amp;b&#x41;" k='1'><title>&lt;&unknown;</title></b>)", true},
    {"empty record", R"(<b id="e"/>)", true},
    {"before the record", R"(  <!--c--><?p?><b id="1"><title>t</title></b> tail <b id="2"/>)",
     true},
    {"end tags with space", "<b><title>T</title ><author><first>f</first ></author></b >", true},
    {"mismatched inside", "<b><author><first>A</last></author><title>T</title></b>", true},
    {"cut short in a child", "<b><title>T</title><author><first>A", true},
    {"cut short in a tag", "<b><title>T</title><author><first a=\"", false},
    {"no element", "just text", true},
    {"a DOCTYPE inside", "<b><title>T</title><!DOCTYPE x><title>U</title></b>", true},
    {"a comment never closed", "<b><title>T</title><!-- <title>U</title></b>", false},
};

// kFields compiled as a table compiles them.
struct Fields {
  Fields() {
    for (const std::string& text : kFields) {
      owned.push_back(path::every_match(compile_or_fail(text)));
      programs.push_back(owned.back().get());
    }
  }
  std::vector<path::ProgramPtr> owned;
  std::vector<const path::Program*> programs;
};

std::vector<V> rendered(const std::vector<Items>& results, std::string_view doc) {
  std::vector<V> out;
  for (const Items& items : results) out.push_back(render_all(items, doc));
  return out;
}

TEST(FieldsWalk, AnswersAsTheScanDoes) {
  const Fields fields;
  const std::vector<const path::Program*>& programs = fields.programs;
  const std::vector<PathTask> tasks = prepare(programs);
  const auto walk = FieldsWalk::plan(tasks);
  ASSERT_NE(walk, nullptr);
  for (const bool spans : {true, false}) {
    WithinPass pass(programs, spans);
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.what);
      std::vector<Items> scanned;
      RunOptions options = with_spans(spans);
      options.scope = RunOptions::Scope::Element;
      ASSERT_FALSE(run_set(programs, c.record, scanned, options));
      std::vector<Items> walked(programs.size());
      EXPECT_EQ(walk->run(c.record, spans, walked), c.walked);
      if (c.walked) {
        EXPECT_EQ(rendered(walked, c.record), rendered(scanned, c.record));
      }
      std::vector<Items> passed;
      ASSERT_FALSE(pass.run(c.record, passed));
      EXPECT_EQ(rendered(passed, c.record), rendered(scanned, c.record));
    }
  }
}

// The same walk on a pass's own reader, as it passes each copy of `record` in a document: the
// reader left as passing the record leaves it and, when the walk answers, the scan's answer over
// the record's bytes. The records repeat until some straddle chunks of the index. Returns how
// many the walk answered.
size_t expect_read_as_passed(FieldsWalk& walk, const Fields& fields, const std::string& record) {
  std::string doc = "<?xml version=\"1.0\"?><outer>";
  for (int i = 0; i < 400; ++i)
    doc += record + "<pad>" + std::string(size_t(i % 70), 'p') + "</pad>";
  doc += "</outer>";
  // One reader passes each record, the other passes it through the walk: in step throughout.
  xml::Reader reader(doc, xml::Config::query());
  xml::Reader passer(doc, xml::Config::query());
  size_t answered = 0;
  for (xml::Event tag = reader.read_event();
       tag.kind != xml::EventKind::Eof && tag.kind != xml::EventKind::Error;
       tag = reader.read_event()) {
    const xml::Event passed = passer.read_event();
    EXPECT_EQ(passed.content, tag.content);
    if (passed.content != tag.content) return answered;
    if (tag.kind != xml::EventKind::Start || reader.depth() != 2 || tag.name() == "pad") continue;
    const size_t start = static_cast<size_t>(tag.content.data() - doc.data()) - 1;
    std::vector<Items> walked(fields.programs.size());
    const bool read = walk.pass_inside(reader, tag, start, true, walked);
    passer.pass_child(passed.name());
    EXPECT_EQ(reader.buffer_position(), passer.buffer_position()) << "at " << start;
    EXPECT_EQ(reader.depth(), passer.depth()) << "at " << start;
    if (reader.buffer_position() != passer.buffer_position()) return answered;
    if (!read) continue;
    ++answered;
    const std::string bytes = doc.substr(start, reader.buffer_position() - start);
    std::vector<Items> scanned;
    RunOptions options = with_spans(true);
    options.scope = RunOptions::Scope::Element;
    EXPECT_FALSE(run_set(fields.programs, bytes, scanned, options));
    EXPECT_EQ(rendered(walked, bytes), rendered(scanned, bytes)) << "at " << start;
  }
  return answered;
}

TEST(FieldsWalk, ReadsARecordAsThePassPassesIt) {
  const Fields fields;
  const std::vector<PathTask> tasks = prepare(fields.programs);  // outlives the walk
  const auto walk = FieldsWalk::plan(tasks);
  ASSERT_NE(walk, nullptr);
  std::vector<std::string> records;
  for (const Case& c : kCases) records.emplace_back(c.record);
  // Read otherwise by a walk than by passing the record, or read as its bytes alone would not be.
  records.emplace_back("<b><x></b></x><title>T</title></b>");
  records.emplace_back("<b><c></x></y></c><title>T</title></b>");
  // Tags of the record's name inside (passing the record ends at the first end tag here, a walk
  // at the last), or names that only start like it.
  records.emplace_back("<b><x></b ><b></x><title>T</title></b>");
  records.emplace_back("<b><bb>x</bb><c><b\n/></c><title>T</title></b>");
  // End tags whose names only start like the open element's, or hold more than its name.
  records.emplace_back("<b><a x>y</a x><title>T</title></b>");
  records.emplace_back("<b><a/b>y</a><title>T</title></b><title>U</title></b>");
  records.emplace_back("<b><ab>y</a><title>T</title></ab></b>");
  for (const std::string& record : records) {
    SCOPED_TRACE(record);
    const size_t answered = expect_read_as_passed(*walk, fields, record);
    if (record == records.front()) {
      // The plain record: read again but where it straddles two chunks.
      EXPECT_GT(answered, 390u);
      EXPECT_LT(answered, 400u);
    }
  }
}

// Records made of pieces that nest, misnest, repeat the record's name or break off, with each
// index classifier the processor has.
TEST(FieldsWalk, ReadsRandomRecordsAsThePassPassesThem) {
  static const char* const kPieces[] = {"<b>",
                                        "</b>",
                                        "<b/>",
                                        "</b >",
                                        "<bb>",
                                        "</bb>",
                                        "<x>",
                                        "</x>",
                                        "<title>T</title>",
                                        "<title>",
                                        "</title>",
                                        "<author>",
                                        "</author>",
                                        "<first>F</first>",
                                        "<tags><tag>t</tag>",
                                        "</tags>",
                                        "</y>",
                                        "</z>",
                                        "<d>",
                                        "<!DOCTYPE>",
                                        "<!-- <b> -->",
                                        "<?p?>",
                                        "<![CDATA[</b>]]>",
                                        "text",
                                        "<c a='>'/>"};
  const Fields fields;
  const std::vector<PathTask> tasks = prepare(fields.programs);
  const auto walk = FieldsWalk::plan(tasks);
  ASSERT_NE(walk, nullptr);
  const xml::detail::IndexPath saved = xml::detail::index_path();
  for (const auto path : xml::detail::kIndexPaths) {
    if (!xml::detail::index_path_usable(path)) continue;
    xml::detail::set_index_path(path);
    std::mt19937 rng(7);
    std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
    for (int round = 0; round < 1000 && !::testing::Test::HasFailure(); ++round) {
      std::string record = "<b id='1'>";
      for (int n = static_cast<int>(rng() % 12); n > 0; --n) record += kPieces[pick(rng)];
      record += "</b>";
      SCOPED_TRACE(record);
      (void)expect_read_as_passed(*walk, fields, record);
    }
  }
  xml::detail::set_index_path(saved);
}

TEST(FieldsWalk, LeavesToTheScanWhatOnlyItAnswers) {
  for (const char* text : {"**.title", "tags.tag", "book#(@id==1)", "tags.0.tag", "title.#text",
                           "{urn:x}title", "title|@first"}) {
    SCOPED_TRACE(text);
    const path::ProgramPtr program = compile_or_fail(text);
    const std::vector<const path::Program*> programs = {program.get()};
    EXPECT_EQ(FieldsWalk::plan(prepare(programs)), nullptr);
  }
}

}  // namespace
}  // namespace varnex::engine::testing
