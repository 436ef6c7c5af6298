// Cuts between records, with the document arriving a byte at a time: never inside markup,
// the open start tags and the children ended kept, broken markup ending the cuts.
#include "xml/cuts.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace varnex::xml {
namespace {

// Every cut there is in `doc`: the last one a fresh finder finds in each of its beginnings.
// The same document arriving a byte at a time must find some of them (markup broken off at the
// end is read again only once enough has come), and the last.
std::vector<size_t> cuts_of(const std::string& doc, size_t max_depth, uint64_t remembered = 0) {
  std::vector<size_t> cuts;
  for (size_t n = 1; n <= doc.size(); ++n) {
    CutFinder fresh(max_depth, remembered);
    fresh.scan(std::string_view(doc).substr(0, n), false);
    if (fresh.cut() != CutFinder::kNone && (cuts.empty() || cuts.back() != fresh.cut())) {
      cuts.push_back(fresh.cut());
    }
  }
  CutFinder finder(max_depth, remembered);
  for (size_t n = 1; n <= doc.size(); ++n) {
    finder.scan(std::string_view(doc).substr(0, n), n == doc.size());
    if (finder.cut() != CutFinder::kNone) {
      EXPECT_TRUE(std::find(cuts.begin(), cuts.end(), finder.cut()) != cuts.end()) << n;
    }
  }
  EXPECT_EQ(finder.cut(), cuts.empty() ? CutFinder::kNone : cuts.back());
  return cuts;
}

TEST(CutFinder, CutsAfterMarkupWhereFewEnoughAreOpen) {
  //                  0123456789012345678901234
  const std::string doc = "<r><a>1</a><a><b/></a></r>";
  EXPECT_EQ(cuts_of(doc, 1), (std::vector<size_t>{3, 11, 22, 26}));
  EXPECT_EQ(cuts_of(doc, 0), (std::vector<size_t>{26}));
}

TEST(CutFinder, NeverInsideCommentsCDataPIsQuotesOrDoctypes) {
  const std::string doc =
      "<!DOCTYPE r [<!ENTITY e '>'><!-- ]> -->]><r><!-- <a> > --><![CDATA[</r>]]>"
      "<?pi ?> > ?><a x='>' y=\"'>\">t</a></r>";
  const std::vector<size_t> cuts = cuts_of(doc, 1);
  for (const size_t cut : cuts) EXPECT_EQ(doc[cut - 1], '>') << cut;
  const size_t r = doc.find("<r>") + 3;
  EXPECT_EQ(cuts, (std::vector<size_t>{r, doc.find("-->", r) + 3, doc.find("]]>") + 3,
                                       doc.find("?>", r) + 2, doc.find("</a>") + 4, doc.size()}));
}

TEST(CutFinder, KeepsTheOpenStartTagsAndTheChildrenEnded) {
  const std::string doc = "<?xml version='1.0'?><r k='1'><s n='2'><a/><a>1</a><b></b><c>";
  CutFinder finder(2, 0b110);
  finder.scan(doc, false);
  EXPECT_EQ(finder.cut(), doc.find("<c>"));
  EXPECT_EQ(finder.prolog_end(), doc.find("<r"));
  ASSERT_EQ(finder.cut_depth(), 2u);
  EXPECT_EQ(finder.open_tag(0), "<r k='1'>");
  EXPECT_EQ(finder.open_tag(1), "<s n='2'>");
  const auto ended = finder.ended_names(2);
  EXPECT_EQ(std::vector<std::string>(ended.begin(), ended.end()),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(finder.ended_names(0).empty());
  finder.drop_to_cut();
  EXPECT_EQ(finder.cut(), CutFinder::kNone);
  finder.scan(std::string_view(doc).substr(doc.find("<c>")).data(), false);
  EXPECT_EQ(finder.cut(), CutFinder::kNone);  // <c> is open at depth 3
}

TEST(CutFinder, ARecordLongerThanThePiecesIsWaitedFor) {
  std::string doc = "<r><a>";
  doc.append(20000, 'x');
  doc.append("<!-- long");
  doc.append(5000, '-');
  doc.append(" --></a></r>");
  EXPECT_EQ(cuts_of(doc, 1), (std::vector<size_t>{3, doc.size() - 4, doc.size()}));
}

// The document in pieces of `size` bytes, the bytes before each cut dropped as they are found.
TEST(CutFinder, GoesOnAfterTheBytesBeforeACutAreDropped) {
  std::string doc = "<r>";
  for (int i = 0; i < 50; ++i) doc.append("<a><b x='>'>1</b><!-- > --></a>");
  doc.append("</r>");
  for (size_t size = 1; size < 40; ++size) {
    CutFinder finder(1, 1);
    std::string kept;
    size_t dropped = 0;
    size_t cuts = 0;
    for (size_t at = 0; at < doc.size(); at += size) {
      kept.append(doc.substr(at, size));
      finder.scan(kept, at + size >= doc.size());
      if (finder.cut() == CutFinder::kNone) continue;
      ++cuts;
      EXPECT_EQ(doc[dropped + finder.cut() - 1], '>');
      dropped += finder.cut();
      kept.erase(0, finder.cut());
      finder.drop_to_cut();
    }
    EXPECT_FALSE(finder.broken()) << size;
    EXPECT_EQ(dropped, doc.size()) << size;
    EXPECT_GE(cuts, doc.size() / std::max<size_t>(size, 34) - 1) << size;
  }
}

// A record ends where the reader's skip ends it (at its name's end tag, counting elements of
// that name) and where reading it tag by tag would (by depth): misnesting inside that both read
// alike does not stop the cuts.
TEST(CutFinder, ARecordEndsWhereTheSkipAndTheDepthAgree) {
  const std::string doc = "<r><a><x></y></a><a><a></a><b/></a><a><!--</a>-->2</a></r>";
  std::vector<size_t> ends;
  const std::string_view next = "</a><a>";
  for (size_t at = doc.find(next); at != std::string::npos; at = doc.find(next, at + 1)) {
    ends.push_back(at + 4);
  }
  EXPECT_EQ(cuts_of(doc, 1),
            (std::vector<size_t>{3, ends[0], ends[1], doc.size() - 4, doc.size()}));
}

// Large pieces are read by the index a chunk (some 16 KB of markup) at a time: a record, a
// tag or a quoted value across two chunks is taken whole, and every cut ends a record.
TEST(CutFinder, PiecesLargerThanTheIndexsChunksAreCutBetweenRecords) {
  std::string doc = "<r>";
  for (int i = 0; i < 3000; ++i) doc.append("<a x='>'><b>t</b><!-- > --><c/><a>in</a></a>");
  doc.append("</r>");
  for (const size_t size : {size_t{4096}, size_t{20000}, size_t{65543}, doc.size()}) {
    CutFinder finder(1, 1);
    std::string kept;
    size_t dropped = 0;
    for (size_t at = 0; at < doc.size(); at += size) {
      kept.append(doc.substr(at, size));
      finder.scan(kept, at + size >= doc.size());
      if (finder.cut() == CutFinder::kNone) continue;
      const size_t cut = dropped + finder.cut();
      EXPECT_TRUE(cut == 3 || cut == doc.size() || doc.compare(cut - 8, 9, "</a></a><") == 0)
          << size << " " << cut;
      dropped = cut;
      kept.erase(0, finder.cut());
      finder.drop_to_cut();
    }
    EXPECT_FALSE(finder.broken()) << size;
    EXPECT_EQ(dropped, doc.size()) << size;
  }
}

TEST(CutFinder, BrokenMarkupEndsTheCuts) {
  for (const std::string doc : {"<r><a>1</a></b><a>2</a></r>", "<r><a></x><a/></r>", "<r></r></r><r><a/></r>",
                                "<r><a><x></a></a><a>2</a></r>", "<r><a>1</a><!x><a>2</a></r>"}) {
    CutFinder finder(1, 0);
    finder.scan(doc, true);
    EXPECT_TRUE(finder.broken()) << doc;
    EXPECT_LT(finder.cut(), doc.size() - 8) << doc;
    // The context of the last cut is kept as it was (the broken end tag closed nothing).
    for (size_t level = 0; level < finder.cut_depth(); ++level) {
      EXPECT_EQ(finder.open_tag(level).substr(0, 2), "<r") << doc;
    }
  }
}

}  // namespace
}  // namespace varnex::xml
