// The structural index against the reader's rules applied one markup at a time: every
// classifier the processor has must give each markup's '<' and '>' and the broken markup the
// input ends in, across blocks and chunks.
#include "xml/index.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "xml/markup.hpp"

namespace varnex::xml::detail {
namespace {

struct Marks {
  std::vector<size_t> positions;  // '<', '>', ... and the broken markup's '<' last
  std::string classes;            // each markup's: 'o' opens an element, 'c' closes one, '-'
  std::string constructs;         // the blocks that hold a construct's '<', as "at "
  ErrorKind fatal = ErrorKind::None;
  size_t fatal_pos = 0;
  bool operator==(const Marks&) const = default;
};

// The reference: from each '<' in text, markup_end finds where its markup ends.
Marks reference_marks(const std::string& s) {
  Marks m;
  for (size_t at = 0;;) {
    const void* p = at < s.size() ? std::memchr(s.data() + at, '<', s.size() - at) : nullptr;
    if (p == nullptr) return m;
    const size_t lt = static_cast<size_t>(static_cast<const char*>(p) - s.data());
    m.positions.push_back(lt);
    const MarkupEnd e = markup_end(s.data(), s.size(), lt);
    if (e.error != ErrorKind::None) {
      m.fatal = e.error;
      m.fatal_pos = e.pos;
      return m;
    }
    m.positions.push_back(e.gt);
    const char kind = s[lt + 1];
    if ((kind == '!' || kind == '?') && lt % 64 != 63) {
      const std::string block = std::to_string(lt & ~size_t{63}) + ' ';
      if (!m.constructs.ends_with(block)) m.constructs += block;
    }
    m.classes += kind == '!' || kind == '?' ? '-' : kind == '/' ? 'c' : s[e.gt - 1] == '/' ? '-' : 'o';
    at = e.gt + 1;
  }
}

// The index read chunk after chunk, bit after bit, as the reader reads it.
Marks index_marks(const std::string& s, IndexPath path) {
  const IndexPath saved = index_path();
  set_index_path(path);
  Index index;
  index.reset(s.data(), s.size());
  Marks m;
  std::vector<std::pair<size_t, char>> gts;  // each '>' and its class
  while (index.next()) {
    for (const IndexBlock* b = index.begin(); b != index.end(); ++b) {
      if (b->has_construct()) m.constructs += std::to_string(b->at()) + ' ';
      for (uint64_t bits = b->lt | b->gt; bits != 0; bits &= bits - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctzll(bits));
        m.positions.push_back(b->at() + i);
        if ((b->gt >> i & 1) != 0) {
          m.classes += (b->opens >> i & 1) != 0 ? 'o' : (b->closes >> i & 1) != 0 ? 'c' : '-';
        }
      }
    }
  }
  m.fatal = index.fatal();
  m.fatal_pos = index.fatal() == ErrorKind::None ? 0 : index.fatal_pos();
  set_index_path(saved);
  return m;
}

std::string render(const Marks& m) {
  std::string out = m.classes + " [" + m.constructs + "] ";
  for (const size_t p : m.positions) out += std::to_string(p) + ' ';
  return out + "fatal " + std::to_string(static_cast<int>(m.fatal)) + '@' +
         std::to_string(m.fatal_pos);
}

void expect_index_matches(const std::string& s) {
  const Marks want = reference_marks(s);
  for (const IndexPath path : kIndexPaths) {
    if (!index_path_usable(path)) continue;
    const Marks got = index_marks(s, path);
    ASSERT_EQ(render(got), render(want)) << "path " << static_cast<int>(path) << ": " << s;
  }
}

TEST(Index, MatchesTheRulesOnSmallPieces) {
  for (const char* s :
       {"", "x", "<", "<a", "<a>", "a<b>c</b>d", "<a x='>'>", "<a x=\"1>", "<a<b>", "<a x='it's'>",
        "<!-- < > -->t", "<!-->x-->", "<![CDATA[<a>]]>", "<!DOCTYPE a [<!ENTITY e '>'>]><r/>",
        "<?p a='?>'?>", "<?>", "<!", "<!x>", "text<", "</a x='>'>", "<a\"b'c\">d'>e"}) {
    ASSERT_NO_FATAL_FAILURE(expect_index_matches(s));
  }
}

// Random documents of markup pieces, long enough to cross blocks and chunks, with the pieces
// that stop the bitmaps (quotes of both kinds, '<' and '>' where they are ordinary, every
// construct) falling on every side of a block boundary.
TEST(Index, MatchesTheRulesOnRandomDocuments) {
  static const char* const kPieces[] = {
      "<a>", "</a>", "<b x='1'>", "<c y=\"2\"/>", "t", " ", "text ", "<", ">", "'", "\"", "it's",
      "<a x='>'>", "<a x=\">\">", "<a x='\"'>", "<a x=\"'\">", "<a x='<'>", "<!-- c -->",
      "<!-- > < ' -->", "<!--", "-->", "<![CDATA[x]]>", "<![CDATA[<>]]>", "<!DOCTYPE d>",
      "<!DOCTYPE d [<!ENTITY e '>'>]>", "<?p?>", "<?p '?>", "<?xml version='1.0'?>", "</>", "<>",
      "<a/ >", "</a >", "<!x>", "<![cdata[", "<!Dx>", "&amp;", "<tag attribute=\"value\">",
      "<long v='0123456789012345678901234567890123456789012345678901234567890123'>"};
  std::mt19937 rng(99);
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  for (int iter = 0; iter < 4000; ++iter) {
    std::string s;
    const size_t pieces = iter % 10 == 0 ? 3000 : rng() % 120;
    // Mostly ordinary pieces, so that the stretches of bitmaps between stops are long.
    const unsigned odd = static_cast<unsigned>(rng() % 30);
    for (size_t i = 0; i < pieces; ++i) {
      s += rng() % 100 < odd ? kPieces[pick(rng)] : kPieces[rng() % 4];
    }
    ASSERT_NO_FATAL_FAILURE(expect_index_matches(s));
  }
}

// Bytes at random over the alphabet the bitmaps look at.
TEST(Index, MatchesTheRulesOnRandomBytes) {
  static const char kAlphabet[] = "aaaaaa<<>>\"'!?-[]/ D";
  std::mt19937 rng(3);
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string s(rng() % 300, 'a');
    for (char& c : s) c = kAlphabet[pick(rng)];
    ASSERT_NO_FATAL_FAILURE(expect_index_matches(s));
  }
}

// Blocks of text alone take no room in a chunk, so a chunk holds more blocks than it has room
// for: long runs of text between tags, over many chunks, with a stop now and then.
TEST(Index, MatchesTheRulesWithBlocksOfTextAlone) {
  std::mt19937 rng(17);
  for (int iter = 0; iter < 40; ++iter) {
    std::string s;
    while (s.size() < 200000) {
      const unsigned r = static_cast<unsigned>(rng() % 100);
      s += r < 40 ? "<a>" : r < 70 ? "</a>" : r < 72 ? "<b x='>'>" : "";
      s.append(rng() % 4 == 0 ? rng() % 700 : rng() % 20, 't');
    }
    ASSERT_NO_FATAL_FAILURE(expect_index_matches(s));
  }
}

}  // namespace
}  // namespace varnex::xml::detail
