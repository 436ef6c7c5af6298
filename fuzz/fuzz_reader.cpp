// libFuzzer target for the XML reader. The first byte picks the configuration
// and which start tags to skip; the rest is the document. Readers run in
// lockstep: two skip with read_to_end (one with the portable classifier of the
// index, one with the widest the processor has) and a third with a plain event
// loop; every invariant below is checked on the way. Then read_child and read_descendant on
// each classifier walk the document beside the loops they stand for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "xml/attributes.hpp"
#include "xml/encoding.hpp"
#include "xml/index.hpp"
#include "xml/reader.hpp"
#include "xml/unescape.hpp"

namespace {

using namespace varnex::xml;

#define CHECK(cond)            \
  do {                         \
    if (!(cond)) std::abort(); \
  } while (0)

struct Input {
  const char* begin;
  const char* end;
  bool contains(std::string_view v) const {
    if (v.empty()) return v.data() == nullptr || (v.data() >= begin && v.data() <= end);
    return v.data() >= begin && v.data() + v.size() <= end;
  }
};

ErrorKind generic_skip(Reader& r, std::string_view name, SkipSpan* span) {
  const size_t start = r.buffer_position();
  size_t depth = 0;
  ErrorKind result;
  for (;;) {
    const size_t end = r.buffer_position();
    const Event ev = r.read_event();
    if (ev.kind == EventKind::Error) {
      result = ev.error;
      break;
    }
    if (ev.kind == EventKind::Eof) {
      result = ErrorKind::MissingEndTag;
      break;
    }
    if (ev.kind == EventKind::Start && ev.name() == name) {
      ++depth;
    } else if (ev.kind == EventKind::End && ev.name() == name) {
      if (depth == 0) {
        *span = SkipSpan{start, end};
        result = ErrorKind::None;
        break;
      }
      --depth;
    }
  }
  return result;
}

void check_attributes(const Event& ev, const Input& in, bool checks) {
  Attributes attrs(ev, checks);
  AttrItem item;
  size_t count = 0;
  while (attrs.next(&item)) {
    CHECK(++count <= ev.content.size() + 1);
    if (item.error == AttrErrorKind::None) {
      CHECK(in.contains(item.key) && in.contains(item.value));
      CHECK(!item.key.empty());
    } else {
      CHECK(item.pos <= ev.content.size());
      if (item.error == AttrErrorKind::Duplicated) CHECK(item.pos2 < item.pos);
    }
    // The one-pass lookup finds the first item of each key, unless it gives up.
    if (checks && item.error == AttrErrorKind::None) {
      std::string_view found;
      const std::string_view key = item.key;
      const AttrLookup r = find_attribute(
          ev.content, ev.name_len, [&](std::string_view k) { return k == key; }, &found);
      CHECK(r == AttrLookup::Unsure ||
            (r == AttrLookup::Found && found.data() <= item.value.data()));
    }
  }
  CHECK(!attrs.next(&item));
}

void check_text(const Event& ev) {
  std::string a, b;
  std::string_view out;
  (void)decode_and_unescape(ev.encoding, ev.content, a, b, &out);
  (void)decode(ev.encoding, ev.content, a, &out);
  (void)is_valid_utf8(ev.content);
}

void check_event(const Reader& r, const Event& ev, const Input& in) {
  CHECK(in.contains(ev.content));
  CHECK(ev.name_len <= ev.content.size());
  CHECK(r.buffer_position() <= static_cast<size_t>(in.end - in.begin));
  CHECK(r.error_position() <= static_cast<size_t>(in.end - in.begin));
  if (ev.kind == EventKind::Error && ev.error == ErrorKind::MismatchedEndTag) {
    CHECK(in.contains(r.mismatch_expected()) && in.contains(r.mismatch_found()));
  }
}

// The loop read_child stands for.
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

// The loop read_descendant stands for.
template <class Want>
Event reference_descendant(Reader& r, size_t& below, Want want) {
  for (;;) {
    const Event ev = r.read_event();
    if (ev.kind == EventKind::Start || ev.kind == EventKind::Empty) {
      const Descend d = want(ev.name());
      if (d == Descend::Give) return ev;
      if (ev.kind == EventKind::Start && d == Descend::Into) ++below;
      if (ev.kind == EventKind::Start && d == Descend::Pass) {
        while (r.read_to_end(ev.name()) == ErrorKind::MissingDoctypeName) {
        }
      }
    } else if (ev.kind == EventKind::End) {
      if (below == 0) return ev;
      --below;
    } else if (ev.kind == EventKind::Eof ||
               (ev.kind == EventKind::Error && (is_fatal(ev.error) || below == 0))) {
      return ev;
    }
  }
}

bool same_event(const Event& a, const Event& b) {
  return a.kind == b.kind && a.error == b.error && a.encoding == b.encoding &&
         a.content.data() == b.content.data() && a.content.size() == b.content.size() &&
         a.name_len == b.name_len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);
  const Input in{doc.data(), doc.data() + doc.size()};

  Config config;
  config.check_end_names = flags & 1;
  config.detect_encoding = flags & 2;
  const bool skip_all = flags & 128;

  using varnex::xml::detail::IndexPath;
  const IndexPath widest = varnex::xml::detail::index_path();
  Reader fast(doc, config);
  Reader wide(doc, config);
  Reader slow(doc, config);
  size_t last_pos = 0;
  int stalled = 0;
  bool finished = false;
  size_t starts = 0;
  // Every read either moves forward or is Eof (a synthetic End may share
  // its Start's position), so this bound is never reached by a sound reader.
  for (size_t guard = 0; guard < 2 * doc.size() + 8; ++guard) {
    const Event ev = fast.read_event();
    const Event other = slow.read_event();
    CHECK(same_event(ev, other));
    CHECK(same_event(ev, wide.read_event()));
    CHECK(fast.buffer_position() == slow.buffer_position());
    CHECK(wide.buffer_position() == slow.buffer_position());
    check_event(fast, ev, in);

    const size_t pos = fast.buffer_position();
    CHECK(pos >= last_pos);
    if (ev.kind == EventKind::Eof) {
      finished = true;
      break;
    }
    if (pos == last_pos) {
      CHECK(ev.kind == EventKind::End && ++stalled <= 1);
    } else {
      stalled = 0;
    }
    last_pos = pos;

    if (ev.kind == EventKind::Error && is_fatal(ev.error)) {
      CHECK(fast.read_event().kind == EventKind::Eof);
      CHECK(fast.buffer_position() == pos);
      CHECK(slow.read_event().kind == EventKind::Eof);
      CHECK(wide.read_event().kind == EventKind::Eof);
      finished = true;
      break;
    }
    if (ev.kind == EventKind::Start || ev.kind == EventKind::Empty) {
      check_attributes(ev, in, true);
      check_attributes(ev, in, false);
    }
    if (ev.kind == EventKind::Text || ev.kind == EventKind::CData) check_text(ev);

    if (ev.kind == EventKind::Start && (skip_all || starts++ == 0)) {
      SkipSpan fs{}, ws{}, ss{};
      varnex::xml::detail::set_index_path(IndexPath::Portable);
      const ErrorKind fe = fast.read_to_end(ev.name(), &fs);
      varnex::xml::detail::set_index_path(widest);
      const ErrorKind we = wide.read_to_end(ev.name(), &ws);
      const ErrorKind se = generic_skip(slow, ev.name(), &ss);
      CHECK(fe == se && we == se);
      for (const Reader* r : {&fast, &wide}) {
        CHECK(r->buffer_position() == slow.buffer_position());
        CHECK(r->error_position() == slow.error_position());
        CHECK(r->encoding() == slow.encoding());
      }
      if (fe == ErrorKind::None) {
        CHECK(fs.start == ss.start && fs.end == ss.end);
        CHECK(ws.start == ss.start && ws.end == ss.end);
        CHECK(fs.start <= fs.end && fs.end <= fast.buffer_position());
      }
      CHECK(fast.buffer_position() >= last_pos);
      last_pos = fast.buffer_position();
      stalled = 0;
    }
  }
  CHECK(finished);
  // Eof is sticky.
  const size_t end_pos = fast.buffer_position();
  CHECK(fast.read_event().kind == EventKind::Eof && fast.buffer_position() == end_pos);

  // Children wanted by their name's length (none for one flag in four), read
  // with read_child on each classifier and with its loop, to the end; the widest passes the
  // children it does not want with their siblings of the same name, and both count as many.
  {
    const unsigned salt = (flags >> 3) & 3;
    const auto want = [salt](std::string_view name) { return (name.size() + salt) % 3 == 0; };
    Reader a(doc, config);
    Reader b(doc, config);
    Reader ref(doc, config);
    size_t passed_a = 0;
    size_t passed_b = 0;
    size_t passed_ref = 0;
    const auto wanted = [&](const Event& t) {
      if (want(t.name())) return Wanted::Yes;
      passed_a += t.kind == EventKind::Start;
      return Wanted::No;
    };
    const auto in_runs = [&](const Event& t) {
      CHECK(b.tag_opens() == (t.kind == EventKind::Start));
      if (want(t.name())) return Wanted::Yes;
      if (t.kind != EventKind::Start) return Wanted::No;
      passed_b += b.pass_siblings(t.name());
      return Wanted::Passed;
    };
    bool done = false;
    for (size_t guard = 0; guard < 2 * doc.size() + 8 && !done; ++guard) {
      varnex::xml::detail::set_index_path(IndexPath::Portable);
      const Event ea = a.read_child(wanted);
      varnex::xml::detail::set_index_path(widest);
      const Event eb = b.read_child(in_runs);
      const Event er = reference_child(ref, want, &passed_ref);
      CHECK(same_event(ea, er) && same_event(eb, er));
      CHECK(passed_a == passed_ref && passed_b == passed_ref);
      for (const Reader* r : {&a, &b}) {
        CHECK(r->buffer_position() == ref.buffer_position());
        CHECK(r->error_position() == ref.error_position());
        CHECK(r->encoding() == ref.encoding());
      }
      done = er.kind == EventKind::Eof;
    }
    CHECK(done);
  }

  // Tags given, passed or gone into by their name's length, read with read_descendant on each
  // classifier and with its loop, to the end.
  {
    const unsigned salt = (flags >> 3) & 3;
    const auto want = [salt](std::string_view name) {
      const size_t k = (name.size() + salt) % 4;
      return k == 0 ? Descend::Give : k == 1 ? Descend::Pass : Descend::Into;
    };
    Reader a(doc, config);
    Reader b(doc, config);
    Reader ref(doc, config);
    size_t below_a = 0;
    size_t below_b = 0;
    size_t below_ref = 0;
    bool done = false;
    for (size_t guard = 0; guard < 2 * doc.size() + 8 && !done; ++guard) {
      varnex::xml::detail::set_index_path(IndexPath::Portable);
      const Event ea = a.read_descendant(below_a, want);
      varnex::xml::detail::set_index_path(widest);
      const Event eb = b.read_descendant(below_b, want);
      const Event er = reference_descendant(ref, below_ref, want);
      CHECK(same_event(ea, er) && same_event(eb, er));
      CHECK(below_a == below_ref && below_b == below_ref);
      for (const Reader* r : {&a, &b}) {
        CHECK(r->buffer_position() == ref.buffer_position());
        CHECK(r->error_position() == ref.error_position());
        CHECK(r->depth() == ref.depth());
      }
      // Past an element's own end, the walk goes on in the one around it.
      if (er.kind == EventKind::End) below_a = below_b = below_ref = 0;
      done = er.kind == EventKind::Eof || (er.kind == EventKind::Error && is_fatal(er.error));
    }
    CHECK(done);
  }

  // Unescaping and decoding arbitrary bytes in every encoding.
  std::string a, b;
  std::string_view out;
  (void)unescape(doc, a, &out);
  const auto enc =
      static_cast<Encoding>(flags % (static_cast<unsigned>(Encoding::XUserDefined) + 1));
  (void)decode_and_unescape(enc, doc, a, b, &out);
  // Marking errors never fails, and gives what the strict decoder gives wherever that succeeds.
  std::string marked;
  decode_marking_errors(enc, doc, marked);
  if (decode(enc, doc, a, &out) == DecodeStatus::Ok) CHECK(out == marked);
  Encoding label_enc;
  (void)encoding_for_label(doc, &label_enc);
  return 0;
}
