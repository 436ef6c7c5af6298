// One document cut among ranges: at every cut, the answers are one pass's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/ranges.hpp"
#include "engine_test_util.hpp"

namespace varnex::engine {
namespace {

using testing::compile_or_fail;
using testing::cut_at;
using testing::render_all;
using testing::run_one;
using testing::run_set;
using testing::V;
using testing::with_spans;

V rendered(const std::optional<EngineError>& error, const Items& items, std::string_view doc) {
  if (error) return {"ambiguous:" + error->name};
  return render_all(items, doc);
}

// Documents whose cuts fall inside every kind of construct; records of the same name nested.
const char* const kDocs[] = {
    "<?xml version='1.0'?><!DOCTYPE c [<!ENTITY e 'x'><!-- <b> -->]>\n<c v='1'>"
    "<b id='1'><t>one</t><p>5</p></b>\n  <b id='2' q='a>b'><t>two &amp; 2</t><p>12</p></b>"
    "<!-- <b id='9'><t>no</t></b> --><b id=\"3\"><![CDATA[<b id='8'>]]><t>three</t></b>"
    "<?pi <b>?><b id='4'><b id='5'><t>inner</t></b><t>outer</t></b><x/><b id='6'/></c>\n",
    "<n:c xmlns:n='urn:n' xmlns='urn:d'><b><t>a</t></b><n:b><t>b</t></n:b>"
    "<b xmlns='urn:e'><t>c</t></b></n:c><!-- after -->",
    // Broken: an element never closed, a stray end tag, a second root.
    "<c><b><t>1</t></b><b><t>2</t><b><t>3</t></b></c>",
    "<c><b><t>1</t></b></x><b><t>2</t></b></c>",
    "<c><b><t>1</t></b></c><c><b><t>2</t></b></c>",
    "<c><b><t>1</t></b><b><t>2</t></b><b><t>3",
};

const char* const kPaths[] = {
    "c.b.#.t",           "c.b.#",         "c.b.#.@id",         "c.b#(p>10)#.@id",
    "**.t",              "c.**.t",        "c.b.#.t|@first",    "c.b.#.t|@last",
    "c.b.#.t|@count",    "c.b.#|@last",   "c.b.#.t|@sort",     "**.b.@id", "c.**.b.@id",
    "c.b.#.b.#.t",       "c.*.#.t",       "{urn:d}c.{urn:d}b.#.t",
    "{*}c.{urn:n}b.#.t", "c.b.#.t.#text", "c.b.#(t)#|@count", "c.b",
    "c.b|@last",         "c.b|@first",
};

TEST(Split, EveryCutGivesOnePassesAnswer) {
  size_t cut_runs = 0;
  for (const std::string_view doc : kDocs) {
    for (const char* text : kPaths) {
      const path::ProgramPtr program = compile_or_fail(text);
      ASSERT_TRUE(program);
      Items one;
      const auto one_error = run_one(*program, doc, one, with_spans());
      const V expected = rendered(one_error, one, doc);
      for (size_t cut = 0; cut <= doc.size(); ++cut) {
        const size_t cuts[] = {cut};
        std::vector<Items> results;
        const auto answer = cut_at({program.get()}, doc, results, cuts, false);
        if (!answer) continue;  // not cut: one pass
        ++cut_runs;
        ASSERT_EQ(rendered(*answer, results.empty() ? Items{} : results[0], doc), expected)
            << text << " over " << doc << " cut at " << cut;
      }
    }
  }
  EXPECT_GT(cut_runs, 1000u);  // most paths can be cut
}

TEST(Split, SeveralPathsAndSeveralCuts) {
  const std::string_view doc = kDocs[0];
  std::vector<path::ProgramPtr> owned;
  std::vector<const path::Program*> programs;
  for (const char* text : {"c.b.#.t", "c.b.#", "**.t", "c.b#(p>10)#.@id|@count"}) {
    owned.push_back(compile_or_fail(text));
    programs.push_back(owned.back().get());
  }
  std::vector<Items> one;
  ASSERT_FALSE(run_set(programs, doc, one, with_spans()));
  size_t cut_runs = 0;
  for (size_t a = 0; a < doc.size(); a += 2) {
    for (size_t b = a + 1; b < doc.size(); b += 13) {
      const size_t cuts[] = {a, b};
      std::vector<Items> results;
      const auto answer = cut_at(programs, doc, results, cuts, true);
      if (!answer) continue;  // both cuts before the root's children
      ++cut_runs;
      ASSERT_FALSE(*answer);
      for (size_t i = 0; i < programs.size(); ++i) {
        ASSERT_EQ(render_all(results[i], doc), render_all(one[i], doc)) << a << ' ' << b;
      }
    }
  }
  EXPECT_GT(cut_runs, 1000u);
}

TEST(Split, PathsThatNeedOnePassAreNotCut) {
  const std::string_view doc = kDocs[0];
  for (const char* text : {"c.b.1.t", "c.b.t", "c.b#(p>10).@id", "c", "c.@v", "**.c.b.#"}) {
    const path::ProgramPtr program = compile_or_fail(text);
    std::vector<Items> results;
    const size_t cuts[] = {doc.size() / 2};
    EXPECT_FALSE(cut_at({program.get()}, doc, results, cuts, false)) << text;
  }
}

TEST(Split, ValidateAtEveryCut) {
  const char* const docs[] = {
      kDocs[0], kDocs[1], kDocs[2], kDocs[3], kDocs[4], kDocs[5],
      "<c><b><t>1</t></b><b a='1' a='2'/></c>",       // a later range is what is wrong
      "<c><b><t>1</t></t></b><b/></c>",               // a mismatched end tag
      "<c><b>1</b><!-- -- --><b/></c>",               // a comment the strict reader refuses
      "<c><b>1</b></c><!-- after --><?pi x?>\n",      // what may follow the root
      "<c><b>1</b></c><b/>",                          // what may not
  };
  for (const std::string_view doc : docs) {
    const bool expected = validate(doc);
    for (size_t a = 0; a <= doc.size(); ++a) {
      for (const size_t b : {a, a + 1, a + 9, a + 40}) {
        const size_t cuts[] = {a, b};
        ASSERT_EQ(validate(doc, 2, cuts), expected) << doc << " cut at " << a << ", " << b;
      }
    }
  }
}

TEST(Split, CutsGoBeforeTheRecordsNotTheHeader) {
  std::string doc = "<dump><siteinfo><name>x</name></siteinfo>\n";
  for (int i = 0; doc.size() < 5 * kMinRange; ++i) {
    doc += "<page><title>" + std::to_string(i) + "</title><text>";
    doc.append(200, 'w');
    doc += "</text></page>\n";
  }
  doc += "</dump>";
  const auto root = find_root(doc);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->child, "page");
  const std::vector<size_t> cuts = choose_cuts(doc, *root, 4);
  ASSERT_EQ(cuts.size(), 3u);
  for (const size_t cut : cuts) EXPECT_EQ(doc.substr(cut, 6), "<page>");
}

TEST(Split, ThreadsOnALargeDocumentAgreeWithOnePass) {
  std::string doc = "<c>";
  for (int i = 0; i < 90000; ++i) {
    doc += "<b id='" + std::to_string(i) + "'><t>" + std::to_string(i % 97) + "</t>";
    if (i % 1000 == 7) doc += "<!-- <b id='x'> -->";
    doc += "</b>\n";
  }
  doc += "</c>";
  for (const char* text : {"c.b.#.t|@sum", "c.b.#", "c.b.#.@id|@last", "c.b.#.t|@first",
                           "**.t|@count", "c.b#(t>90)#.@id|@count"}) {
    const path::ProgramPtr program = compile_or_fail(text);
    Items one;
    Items four;
    RunOptions threads = with_spans();
    threads.threads = 4;
    ASSERT_FALSE(run_one(*program, doc, one, with_spans()));
    ASSERT_FALSE(run_one(*program, doc, four, threads));
    EXPECT_EQ(render_all(four, doc), render_all(one, doc)) << text;
  }
  EXPECT_TRUE(validate(doc, 4));
  doc.insert(doc.size() / 2 + 3, "</t>");  // somewhere in the second half
  EXPECT_FALSE(validate(doc, 4));
}

}  // namespace
}  // namespace varnex::engine
