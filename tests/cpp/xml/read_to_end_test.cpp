// read_to_end and read_child against plain read_event() loops on random
// documents: outcome, span, position, error position, encoding and what follows.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "render.hpp"
#include "xml/index.hpp"

namespace varnex::xml {
namespace {

// The reference: the same skip written as a loop over read_event().
ErrorKind generic_skip(Reader& r, std::string_view name, SkipSpan* span) {
  const size_t start = r.buffer_position();
  ErrorKind result = ErrorKind::MissingEndTag;
  for (size_t depth = 0;;) {
    const size_t end = r.buffer_position();
    const Event ev = r.read_event();
    if (ev.kind == EventKind::Error) result = ev.error;
    if (ev.kind == EventKind::Error || ev.kind == EventKind::Eof) break;
    if (ev.kind == EventKind::Start && ev.name() == name) {
      ++depth;
    } else if (ev.kind == EventKind::End && ev.name() == name && depth-- == 0) {
      *span = SkipSpan{start, end};
      result = ErrorKind::None;
      break;
    }
  }
  return result;
}

// Random documents over a small alphabet of markup pieces: the dedicated
// skip and the event loop must agree on outcome, span, position, error
// position, what comes next and the encoding.
std::string random_document(std::mt19937& rng) {
  static const char* const kPieces[] = {
      "<a>", "</a>", "<a/>", "<b>", "</b>", "<a x='>'>", "</a >", "</a x>", "t", " ", "<", ">",
      "<!-- c -->", "<!--", "-->", "<![CDATA[", "]]>", "<!DOCTYPE>", "<!DOCTYPE d>", "<!x>",
      "<?p?>", "<?xml encoding='koi8-r'?>", "<?", "?>", "\"", "'", "<a:b>", "</a:b>", "</>", "<>",
      "<!D<>>", "<!DOCTYPE d [<!-- > --><?p ]>?>]>", "<!DOCTYPE d '>", "&amp;", "\xEF\xBB\xBF",
      "<ab>", "</ab>", "<a\t>", "</a\n>", "<a'b'>", "</a'b'>",
      // Long tags, so that quotes and '>' straddle the scanner's windows.
      "<a v='0123456789012345678901234567890123456789012345678901234567890123\">'>",
      "<b w=\"01234567890123456789'0123456789012345678901234567890123456789>\">",
      "<a                                                                x='1'>",
      "</a                                                                  >"};
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  std::uniform_int_distribution<int> count(0, 24);
  // The element being skipped: an ordinary name, or the empty name.
  std::string doc = rng() % 4 == 0 ? "<>" : "<a>";
  for (int n = count(rng); n > 0; --n) doc += kPieces[pick(rng)];
  return doc;
}

// What a reader shows besides its events.
std::tuple<size_t, size_t, Encoding> state(const Reader& r) {
  return {r.buffer_position(), r.error_position(), r.encoding()};
}

// Pins the index's classifier for a scope.
struct PinnedPath {
  detail::IndexPath saved = detail::index_path();
  explicit PinnedPath(detail::IndexPath path) { detail::set_index_path(path); }
  ~PinnedPath() { detail::set_index_path(saved); }
};

// The loop read_child stands for: every Start not wanted skipped (and counted in `*passed`),
// the rest not wanted read past.
template <class Want>
Event reference_child(Reader& r, Want want, size_t* passed) {
  for (;;) {
    const Event ev = r.read_event();
    if (ev.kind == EventKind::Start) {
      if (want(ev.name())) return ev;
      ++*passed;
      while (r.read_to_end(ev.name()) == ErrorKind::MissingDoctypeName) {
      }
    } else if (ev.kind == EventKind::Empty) {
      if (want(ev.name())) return ev;
    } else if (ev.kind == EventKind::End || ev.kind == EventKind::Eof ||
               ev.kind == EventKind::Error) {
      return ev;
    }
  }
}

// read_child and its loop walk `doc` to the end (entering each child wanted)
// and must agree on every event and position, and on how many children they passed; with
// `runs`, read_child's `want` passes each unwanted element with the siblings of its name.
void expect_same_children(const std::string& doc, Config c, int salt, bool runs) {
  // Which names are wanted depends on their length: none when salt is 3.
  const auto want = [salt](std::string_view name) { return (name.size() + salt) % 3 == 0; };
  Reader fast(doc, c);
  Reader slow(doc, c);
  size_t fast_passed = 0;
  size_t slow_passed = 0;
  const char* refused = nullptr;  // the tag of a sibling pass_siblings left: read next
  bool left = false;               // the child given was passed by `ask`
  const auto ask = [&](const Event& t) {
    EXPECT_EQ(fast.tag_opens(), t.kind == EventKind::Start) << testing::escape(doc);
    if (refused != nullptr) EXPECT_EQ(static_cast<const void*>(t.content.data()), refused);
    refused = nullptr;
    if (want(t.name())) {
      // Some wanted children are passed by `ask` itself and given back at once.
      if (t.content.size() % 4 != 1) return Wanted::Yes;
      left = true;
      if (t.kind == EventKind::Start) fast.pass_child(t.name());
      return Wanted::Left;
    }
    if (t.kind != EventKind::Start) return Wanted::No;
    if (!runs) {
      ++fast_passed;
      return Wanted::No;
    }
    // The next siblings taken are those whose tag's content is not a multiple of 3 long.
    struct Test {
      std::string_view name;
      const char** refused;
      static bool passes(void* self, std::string_view content) {
        const auto* test = static_cast<Test*>(self);
        EXPECT_EQ(content.substr(0, test->name.size()), test->name);
        if (content.size() % 3 != 0) return true;
        *test->refused = content.data();
        return false;
      }
    } test{t.name(), &refused};
    fast_passed += fast.pass_siblings(t.name(), {&Test::passes, &test});
    return Wanted::Passed;
  };
  for (int k = 0; k < 400; ++k) {
    if (k % 3 == 1) fast.skip_text();  // passing text first changes nothing read_child meets
    left = false;
    const Event fe = fast.read_child(ask);
    const Event se = reference_child(slow, want, &slow_passed);
    if (left) {
      ASSERT_TRUE(se.kind == EventKind::Start || se.kind == EventKind::Empty);
      if (se.kind == EventKind::Start) slow.pass_child(se.name());
    }
    const std::string a = testing::render_event(fast, fe);
    const std::string b = testing::render_event(slow, se);
    ASSERT_EQ(a, b) << testing::escape(doc) << " salt " << salt;
    ASSERT_EQ(state(fast), state(slow)) << testing::escape(doc);
    ASSERT_EQ(fast_passed, slow_passed) << testing::escape(doc);
    ASSERT_EQ(fast.depth(), slow.depth()) << testing::escape(doc);
    if (fe.kind == EventKind::Eof) break;
    if (left) continue;
    // Every other child wanted is read as a field where read_leaf_text takes it: just as
    // its Text and End events would read it.
    std::string_view text;
    if (fe.kind != EventKind::Start || k % 2 != 0 || !fast.read_leaf_text(&text)) continue;
    Event next = slow.read_event();
    if (next.kind == EventKind::Text) {
      ASSERT_EQ(next.content, text) << testing::escape(doc);
      next = slow.read_event();
    } else {
      ASSERT_TRUE(text.empty()) << testing::escape(doc);
    }
    ASSERT_EQ(next.kind, EventKind::End) << testing::escape(doc);
    ASSERT_EQ(fast.buffer_position(), slow.buffer_position()) << testing::escape(doc);
  }
}

// The loop read_descendant stands for: each tag `want` goes into, gives or passes; the
// elements gone into counted in `below`, an End closing the innermost of them.
template <class Want>
Event reference_descendant(Reader& r, size_t& below, Want want) {
  for (;;) {
    const Event ev = r.read_event();
    switch (ev.kind) {
      case EventKind::Start:
      case EventKind::Empty: {
        const Descend d = want(ev.name());
        if (d == Descend::Give) return ev;
        if (ev.kind == EventKind::Start && d == Descend::Into) ++below;
        if (ev.kind == EventKind::Start && d == Descend::Pass) {
          while (r.read_to_end(ev.name()) == ErrorKind::MissingDoctypeName) {
          }
        }
        break;
      }
      case EventKind::End:
        if (below == 0) return ev;
        --below;
        break;
      case EventKind::Eof: return ev;
      case EventKind::Error:
        if (is_fatal(ev.error) || below == 0) return ev;
        break;
      default: break;
    }
  }
}

// read_descendant and its loop walk `doc` from its start, and from inside each element given,
// to the end, and must agree on every event, position and count.
void expect_same_descendants(const std::string& doc, Config c, int salt) {
  // Which names are given or passed depends on their length and the salt.
  const auto want = [salt](std::string_view name) {
    const size_t k = (name.size() + static_cast<size_t>(salt)) % 4;
    return k == 0 ? Descend::Give : k == 1 ? Descend::Pass : Descend::Into;
  };
  Reader fast(doc, c);
  Reader slow(doc, c);
  size_t fast_below = 0;
  size_t slow_below = 0;
  for (int k = 0; k < 400; ++k) {
    const Event fe = fast.read_descendant(fast_below, want);
    const std::string a = testing::render_event(fast, fe);
    const std::string b = testing::render_event(slow, reference_descendant(slow, slow_below, want));
    ASSERT_EQ(a, b) << testing::escape(doc) << " salt " << salt;
    ASSERT_EQ(state(fast), state(slow)) << testing::escape(doc);
    ASSERT_EQ(fast_below, slow_below) << testing::escape(doc);
    ASSERT_EQ(fast.depth(), slow.depth()) << testing::escape(doc);
    if (fe.kind == EventKind::Eof || (fe.kind == EventKind::Error && is_fatal(fe.error))) break;
    // Inside a tag given, every other time, a walk of its own; past its end, back to this one.
    if (fe.kind == EventKind::End) {
      fast_below = slow_below = 0;
    } else if (fe.kind == EventKind::Start && k % 2 == 1) {
      fast_below = slow_below = 0;
    }
  }
}

// Skips the element `name` with read_to_end in `fast` and with the event loop in `slow`.
void expect_same_skip_of(Reader& fast, Reader& slow, std::string_view name, const std::string& doc) {
  SkipSpan fs{}, ss{};
  const ErrorKind fe = fast.read_to_end(name, &fs);
  ASSERT_EQ(fe, generic_skip(slow, name, &ss)) << testing::escape(doc);
  ASSERT_EQ(state(fast), state(slow)) << testing::escape(doc);
  if (fe == ErrorKind::None) {
    ASSERT_EQ(std::pair(fs.start, fs.end), std::pair(ss.start, ss.end)) << testing::escape(doc);
  }
}

// Skips the Start that follows `outer` other starts at the front of `doc`, then every later
// one, under both configurations and with each index classifier the processor has; read_to_end and the event loop must agree on everything
// observable, and so must read_child and its loop.
void expect_same_skip(const std::string& doc, int outer = 0) {
  constexpr int kVariants = 2 * std::size(detail::kIndexPaths);
  for (int variant = 0; variant < kVariants; ++variant) {
    const detail::IndexPath path = detail::kIndexPaths[variant / 2];
    if (!detail::index_path_usable(path)) break;
    SCOPED_TRACE(variant);
    const PinnedPath pin(path);
    const Config c = variant & 1 ? Config::validation() : Config::query();
    ASSERT_NO_FATAL_FAILURE(expect_same_children(doc, c, variant % 4, false));
    ASSERT_NO_FATAL_FAILURE(expect_same_children(doc, c, variant % 4, true));
    ASSERT_NO_FATAL_FAILURE(expect_same_descendants(doc, c, variant % 4));
    Reader fast(doc, c);
    Reader slow(doc, c);
    Event ev;
    for (int i = 0; i <= outer; ++i) {
      ev = fast.read_event();
      ASSERT_EQ(slow.read_event().kind, ev.kind);
    }
    if (ev.kind != EventKind::Start) continue;
    ASSERT_NO_FATAL_FAILURE(expect_same_skip_of(fast, slow, ev.name(), doc));
    for (int k = 0; k < 200; ++k) {
      ev = fast.read_event();
      const std::string a = testing::render_event(fast, ev);
      ASSERT_EQ(a, testing::render_event(slow, slow.read_event())) << testing::escape(doc);
      if (ev.kind == EventKind::Eof) break;
      if (ev.kind == EventKind::Start) {
        ASSERT_NO_FATAL_FAILURE(expect_same_skip_of(fast, slow, ev.name(), doc));
      }
    }
  }
}

TEST(Skip, AgreesWithEventLoopOnRandomDocuments) {
  std::mt19937 rng(12345);
  for (int iter = 0; iter < 20000; ++iter) {
    ASSERT_NO_FATAL_FAILURE(expect_same_skip(random_document(rng)));
  }
}

// Longer documents made mostly of ordinary tags, so that the skip takes
// whole blocks of them at once, with the odd piece that must stop such a
// run: quotes in text or of the other kind inside a value, '<' in a tag, '>'
// in text, comments and PIs, names sharing the target's first byte, the target's own tags
// (nested, or ending in ws or more than its name, or a longer name after a slash), '/>'
// closing an end tag, and end tags that close more than is open.
// `outer` elements are open around the skipped one, so end tags can close them.
std::string dense_document(std::mt19937& rng, int outer) {
  static const char* const kOrdinary[] = {
      "<item id=\"12\" kind='x'>", "</item>", "<name lang='en'>", "</name>", "<p/>", "<q k=\"v\"/>",
      "text ", "\n", "<tags>", "</tags >", "<v a=\">\" b='<'>", "</v>", "<w x='\"' y=\"'\">",
      "</w>",
      // Names that start as others do, and differ further on or only after them.
      "<tag>", "</tag>", "<tagsy>", "</tagsy>", "<items k='1'>", "</items>", "<tags/>",
      // Tags longer than a block.
      "<long v='0123456789012345678901234567890123456789012345678901234567890123456789'>",
      "</long                                                                          >"};
  // Each of these stops a run of tags.
  static const char* const kOdd[] = {
      "it's", "\"", "<x<y>", " > ", "<!-- c -->", "<?p?>", "<aa>", "</aa>", "</a>", "<a>", "<a/>",
      "</item/>", "</>", "<>", "</z></z>", "<a x='1'>", "</a\t>", "<![CDATA[<]]>",
      "<v a=\"it's\">", "<v a='say \"hi\"'>", "<!DOCTYPE d [<!ENTITY e '</a>'>]>",
      "<?xml encoding='koi8-r'?>", "</a x>", "<a\n y='2'>", "</a\r\n>", "<a/b>"};
  std::uniform_int_distribution<size_t> ordinary(0, std::size(kOrdinary) - 1);
  std::uniform_int_distribution<size_t> odd(0, std::size(kOdd) - 1);
  std::uniform_int_distribution<int> count(0, 400);
  const int odd_per_1000 = static_cast<int>(rng() % 40);
  std::string doc;
  for (int i = 0; i < outer; ++i) doc += "<o>";
  doc += rng() % 8 == 0 ? "<a x='1'>" : "<a>";
  for (int n = count(rng); n > 0; --n) {
    doc +=
        static_cast<int>(rng() % 1000) < odd_per_1000 ? kOdd[odd(rng)] : kOrdinary[ordinary(rng)];
  }
  if (rng() % 2 == 0) doc += "</a>";
  return doc;
}

// Well-nested documents, so that skips with end names checked also run
// long; now and then an end name that does not match, an element left
// open, or markup that stops a run of blocks.
void nested_element(std::mt19937& rng, int level, std::string* doc) {
  static const char* const kNames[] = {"a", "item", "ab", "b", "x:y"};
  static const char* const kAttrs[] = {"", " id=\"12\"", " k='v' n=\"it's\"", " w='say \"hi\"'",
                                       " v=\">\" u='<'"};
  static const char* const kText[] = {"text ", "\n  ", "it's \"x\" > y", "",
                                      "<!-- c > -->", "<?p x?>", "<![CDATA[</a>]]>",
                                      "<!DOCTYPE d [<!ENTITY e '>'>]>"};
  const char* name = kNames[rng() % std::size(kNames)];
  *doc += '<';
  *doc += name;
  *doc += kAttrs[rng() % std::size(kAttrs)];
  if (level > 6 || rng() % 5 == 0) {
    *doc += "/>";
    return;
  }
  *doc += '>';
  for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
    if (rng() % 3 == 0) {
      *doc += kText[rng() % std::size(kText)];
    } else {
      nested_element(rng, level + 1, doc);
    }
  }
  const unsigned fault = rng() % 400;
  if (fault == 0) return;  // left open
  *doc += "</";
  *doc += fault == 1 ? "z" : name;
  *doc += rng() % 8 == 0 ? " >" : ">";
}

TEST(Skip, AgreesWithEventLoopOnNestedDocuments) {
  std::mt19937 rng(77);
  for (int iter = 0; iter < 1500; ++iter) {
    const int outer = iter % 2;
    std::string doc = outer != 0 ? "<o>" : "";
    doc += "<a>";
    for (int n = 1 + static_cast<int>(rng() % 12); n > 0; --n) nested_element(rng, 1, &doc);
    if (rng() % 4 != 0) doc += "</a>";
    ASSERT_NO_FATAL_FAILURE(expect_same_skip(doc, outer));
  }
}

// Records of every size skipped one after another, as a query passes over
// the records it does not want.
TEST(Skip, AgreesWithEventLoopOnRecordsInTurn) {
  std::mt19937 rng(31);
  for (int iter = 0; iter < 400; ++iter) {
    std::string doc = "<o>";
    for (int n = 1 + static_cast<int>(rng() % 10); n > 0; --n) {
      nested_element(rng, rng() % 3 == 0 ? 6 : 1, &doc);
    }
    doc += "</o>";
    ASSERT_NO_FATAL_FAILURE(expect_same_skip(doc, 1));
  }
}

// Runs of records of one name, as a count passes them: mostly one name, sometimes a name
// sharing its first bytes, the name before ws, '/' or more of a name, an empty-element record,
// a construct or only text between them; long enough to cross the index's chunks.
TEST(Skip, RunsOfSiblingsAgreeWithEventLoop) {
  static const char* const kStarts[] = {"<a>",   "<a>",    "<a>",    "<a k='1'>", "<a\n>",
                                        "<ab>",  "<a/>",   "<a/b>",  "<b>",       "<a x='>'>",
                                        "<a:b>", "<a\ty>"};
  static const char* const kBetween[] = {"\n  ", "", "\n  ", "t", "<!-- c -->", "<?p?>",
                                         "<![CDATA[x]]>", "</a>"};
  std::mt19937 rng(404);
  for (int iter = 0; iter < 120; ++iter) {
    std::string doc = "<o>";
    const int records = 1 + static_cast<int>(rng() % (iter % 4 == 0 ? 600 : 30));
    for (int n = 0; n < records; ++n) {
      const std::string start = kStarts[rng() % (rng() % 6 == 0 ? std::size(kStarts) : 4)];
      doc += start;
      if (start.back() == '>' && start[start.size() - 2] == '/') continue;  // empty
      for (int k = static_cast<int>(rng() % 4); k > 0; --k) nested_element(rng, 5, &doc);
      const size_t name_end = start.find_first_of(" \t\n>");
      doc += "</" + start.substr(1, name_end - 1) + ">";
      doc += kBetween[rng() % (rng() % 5 == 0 ? std::size(kBetween) : 3)];
    }
    if (rng() % 4 != 0) doc += "</o>";
    ASSERT_NO_FATAL_FAILURE(expect_same_skip(doc, 1));
  }
}

TEST(Skip, AgreesWithEventLoopOnDenseDocuments) {
  std::mt19937 rng(2024);
  for (int iter = 0; iter < 3000; ++iter) {
    const int outer = iter % 3;
    ASSERT_NO_FATAL_FAILURE(expect_same_skip(dense_document(rng, outer), outer));
  }
}

}  // namespace
}  // namespace varnex::xml
