// The reader over the structural index against the reader as it was before it, on random
// documents: the same events, errors and positions, read event by event and with every start
// tag skipped, in both configurations.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "legacy/reader.hpp"
#include "render.hpp"

namespace varnex::xml {
namespace {

ErrorKind from_legacy(legacy::ErrorKind k) {
  // The old kinds had one more before MissingEndTag.
  return k == legacy::ErrorKind::MissingEndTag ? ErrorKind::MissingEndTag
                                               : static_cast<ErrorKind>(k);
}

// One item with the reader's positions after it, whichever reader read it.
std::string render(const Event& e, size_t pos, size_t err, std::string_view expected,
                   std::string_view found) {
  std::string out = testing::kind_name(e.kind);
  if (e.kind == EventKind::Start || e.kind == EventKind::Empty) {
    out += '(' + testing::escape(e.name()) + '|' + testing::escape(e.content) + ')';
  } else if (e.kind == EventKind::Error) {
    out = testing::error_name(e.error);
    if (e.error == ErrorKind::MismatchedEndTag) {
      out += '(' + testing::escape(expected) + '/' + testing::escape(found) + ')';
    }
  } else if (e.kind != EventKind::Eof) {
    out += '(' + testing::escape(e.content) + ')';
  }
  return out + '@' + std::to_string(pos) + " err@" + std::to_string(err);
}

std::string render_new(const Reader& r, const Event& e) {
  return render(e, r.buffer_position(), r.error_position(), r.mismatch_expected(),
                r.mismatch_found());
}

std::string render_legacy(const legacy::Reader& r, const legacy::Event& ev) {
  Event e;
  e.kind = static_cast<EventKind>(ev.kind);
  e.error = from_legacy(ev.error);
  e.content = ev.content;
  e.name_len = ev.name_len;
  return render(e, r.buffer_position(), r.error_position(), r.mismatch_expected(),
                r.mismatch_found());
}

// Both readers to the end; with `skip`, every start tag is passed with read_to_end.
void expect_same(const std::string& doc, bool checked, bool skip) {
  Config c = checked ? Config::validation() : Config::query();
  legacy::Config oc;
  oc.check_end_names = checked;
  oc.detect_encoding = false;
  Reader now(doc, c);
  legacy::Reader old(doc, oc);
  for (int guard = 0; guard < 20000; ++guard) {
    const Event e = now.read_event();
    const legacy::Event o = old.read_event();
    ASSERT_EQ(render_new(now, e), render_legacy(old, o)) << testing::escape(doc);
    if (e.kind == EventKind::Eof) return;
    if (skip && e.kind == EventKind::Start) {
      SkipSpan s{};
      legacy::SkipSpan os{};
      const ErrorKind k = now.read_to_end(e.name(), &s);
      const legacy::ErrorKind ok = old.read_to_end(o.name(), &os);
      ASSERT_EQ(testing::error_name(k), testing::error_name(from_legacy(ok)))
          << testing::escape(doc);
      ASSERT_EQ(now.buffer_position(), old.buffer_position()) << testing::escape(doc);
      ASSERT_EQ(now.error_position(), old.error_position()) << testing::escape(doc);
      if (k == ErrorKind::None) {
        ASSERT_EQ(s.end, os.end) << testing::escape(doc);
      }
    }
  }
  FAIL() << "no Eof: " << testing::escape(doc);
}

TEST(Legacy, SameEventsOnRandomDocuments) {
  static const char* const kPieces[] = {
      "<a>", "</a>", "<b x='1'>", "</b>", "<c y=\"2\"/>", "t", " ", "<", ">", "'", "\"", "it's",
      "<a x='>'>", "<a x=\"<\">", "<!-- c -->", "<!--", "-->", "<![CDATA[x]]>", "<!DOCTYPE d>",
      "<!DOCTYPE>", "<!DOCTYPE d [<!ENTITY e '>'>]>", "<?p?>", "<?xml version='1.0'?>", "</>",
      "<>", "<a/ >", "</a >", "<!x>", "</a x>", "<a:b>", "</a:b>", "&amp;", "\xEF\xBB\xBF",
      "<long v='0123456789012345678901234567890123456789012345678901234567890123'>"};
  std::mt19937 rng(4242);
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  for (int iter = 0; iter < 6000; ++iter) {
    std::string doc;
    const size_t pieces = iter % 20 == 0 ? 4000 : rng() % 60;
    const unsigned odd = static_cast<unsigned>(rng() % 40);
    for (size_t i = 0; i < pieces; ++i) {
      doc += rng() % 100 < odd ? kPieces[pick(rng)] : kPieces[rng() % 5];
    }
    for (const bool checked : {false, true}) {
      for (const bool skip : {false, true}) {
        ASSERT_NO_FATAL_FAILURE(expect_same(doc, checked, skip));
      }
    }
  }
}

}  // namespace
}  // namespace varnex::xml
