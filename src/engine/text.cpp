// Element text: gathering inside a scope, from element bytes, and item texts and numbers.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "engine/leaf.hpp"
#include "path/number.hpp"
#include "xml/encoding.hpp"
#include "xml/markup.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

std::string_view text_piece(xml::Encoding enc, std::string_view raw, std::string& scratch_decode,
                            std::string& scratch_unescape) {
  if (enc == xml::Encoding::Utf8 && is_plain(raw)) return raw;  // most pieces
  std::string_view decoded;
  // Undecodable bytes stay as written: the text then reads as invalid, and a strict
  // conversion says where, instead of the piece vanishing from the answer.
  if (xml::decode(enc, raw, scratch_decode, &decoded) != xml::DecodeStatus::Ok) return raw;
  std::string_view text;
  if (xml::unescape(decoded, scratch_unescape, &text) != xml::UnescapeStatus::Ok) return decoded;
  return text;
}

std::string_view read_text_in_scope(xml::Reader& reader, std::string& buffer,
                                    std::string& scratch_decode, std::string& scratch_unescape) {
  if (std::string_view raw; reader.read_leaf_text(&raw)) {  // a field: one piece of text
    return text_piece(reader.encoding(), raw, scratch_decode, scratch_unescape);
  }
  std::string& out = buffer;
  out.clear();
  size_t depth = 1;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start: ++depth; break;
      case xml::EventKind::End:
        if (--depth == 0) return out;
        break;
      case xml::EventKind::Text: {
        out += text_piece(ev.encoding, ev.content, scratch_decode, scratch_unescape);
        break;
      }
      case xml::EventKind::CData: out += ev.content; break;
      case xml::EventKind::Eof: return out;
      default: break;  // errors are skipped; a fatal one is followed by Eof
    }
  }
}

std::string read_text_in_scope(xml::Reader& reader) {
  std::string buffer, scratch_decode, scratch_unescape;
  const std::string_view text =
      read_text_in_scope(reader, buffer, scratch_decode, scratch_unescape);
  if (text.data() == buffer.data()) return buffer;
  return std::string(text);
}

namespace {

// Reads the text of the first element in `element` with the reader.
std::string read_element_text(std::string_view element) {
  xml::Reader reader(element, xml::Config::query());
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start: return read_text_in_scope(reader);
      case xml::EventKind::Empty:
      case xml::EventKind::Eof: return {};
      default: break;
    }
  }
}

}  // namespace

namespace {

// The first byte of [p, end) that is '<' or '&', or with `stop_high` one of 0x80 or more;
// `end` when there is none. Bytes from `floor` (at most p) on may be read. Text runs are short
// and the end tag stops the sweep, so it reads sixteen bytes at a time, the last sixteen before
// `end` for what is left when that many can be read.
template <bool stop_high>
const unsigned char* find_text_stop(const unsigned char* floor, const unsigned char* p,
                                    const unsigned char* end) noexcept {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i amp = _mm_set1_epi8('&');
  const auto stops = [&](const unsigned char* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, amp));
    if constexpr (stop_high) hit = _mm_or_si128(hit, v);  // the sign bit: a byte >= 0x80
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
  };
  for (; end - p >= 16; p += 16) {
    if (const unsigned mask = stops(p); mask != 0) return p + __builtin_ctz(mask);
  }
  if (p < end && end - floor >= 16) {
    const unsigned mask = stops(end - 16) >> (16 - (end - p));  // bit 0: p
    return mask != 0 ? p + __builtin_ctz(mask) : end;
  }
#else
  (void)floor;
#endif
  for (; p < end; ++p) {
    if (*p == '<' || *p == '&' || (stop_high && *p >= 0x80)) return p;
  }
  return end;
}

// The one text piece of an element that holds nothing but text, as written.
struct LeafBytes {
  std::string_view raw;
  bool empty_tag = false;   // an empty-element tag: no text
  bool ascii = true;        // known only without references: bytes past an '&' go unseen
  bool references = false;  // holds '&'
};

// The reader, over `<tag>text</...`, gives Start, one Text (none when empty), and End: the
// query configuration neither checks the end tag's name nor cares what follows it.
std::optional<LeafBytes> leaf_bytes(std::string_view element) noexcept {
  if (element.size() < 2 || element[0] != '<') return std::nullopt;
  if (element[1] == '!' || element[1] == '/' || element[1] == '?') return std::nullopt;
  // Most leaves' start tags are a name alone.
  const char* gt =
      xml::detail::find_short_tag_end(element.data() + 1, element.data() + element.size());
  if (gt == nullptr) return std::nullopt;
  LeafBytes leaf;
  if (gt - element.data() >= 2 && gt[-1] == '/') {
    leaf.empty_tag = true;
    return leaf;
  }
  const auto* start = reinterpret_cast<const unsigned char*>(element.data());
  const auto* text = reinterpret_cast<const unsigned char*>(gt + 1);
  const auto* end = start + element.size();
  const unsigned char* q = find_text_stop<true>(start, text, end);
  if (q < end && *q >= 0x80) {
    leaf.ascii = false;
    q = find_text_stop<false>(start, q, end);
  }
  while (q < end && *q == '&') {
    leaf.references = true;
    q = find_text_stop<false>(start, q + 1, end);
  }
  if (end - q < 2 || q[1] != '/') return std::nullopt;  // markup inside, or no end tag
  leaf.raw = std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(q - text));
  return leaf;
}

}  // namespace

std::optional<std::string_view> simple_text_bytes(std::string_view element) noexcept {
  const auto leaf = leaf_bytes(element);
  if (!leaf) return std::nullopt;
  return leaf->raw;
}

std::optional<LeafText> plain_leaf_text(std::string_view element) noexcept {
  const auto leaf = leaf_bytes(element);
  if (!leaf || leaf->empty_tag || leaf->references) return std::nullopt;
  // Bytes that are not UTF-8 are the general rule's to report.
  if (!leaf->ascii && !xml::is_valid_utf8(leaf->raw)) return std::nullopt;
  return LeafText{leaf->raw, leaf->ascii};
}

namespace {

// The text extract_element_text gives, read without a reader when the element holds nothing
// but text (the usual leaf): a view into `element`, or into `scratch` once references are
// resolved. Nothing when anything else is inside.
std::optional<std::string_view> simple_element_text(std::string_view element,
                                                    std::string& scratch) {
  const auto leaf = leaf_bytes(element);
  if (!leaf) return std::nullopt;
  if (leaf->ascii && !leaf->references) return leaf->raw;  // what text_piece gives it
  // The one text piece, taken exactly as read_text_in_scope takes it.
  std::string unused;  // UTF-8 is checked in place, never decoded into a copy
  return text_piece(xml::Encoding::Utf8, leaf->raw, unused, scratch);
}

}  // namespace

ElementShape describe_element(std::string_view element, std::string& scratch) {
  ElementShape shape;
  if (const auto leaf = leaf_bytes(element)) {
    if (!leaf->references && (leaf->ascii || xml::is_valid_utf8(leaf->raw))) {
      return {false, leaf->raw, true, leaf->ascii};
    }
    std::string unused;
    shape.text = text_piece(xml::Encoding::Utf8, leaf->raw, unused, scratch);
    // ASCII with the usual references (`&amp;`) stays ASCII, which converts at least cost.
    shape.ascii = leaf->ascii && xml::is_ascii(shape.text);
    shape.valid = shape.ascii;
    return shape;
  }
  if (reads_child_elements(element)) {
    shape.has_children = true;
    return shape;
  }
  scratch = read_element_text(element);
  shape.text = scratch;
  return shape;
}

std::string_view element_text(std::string_view element, std::string& scratch) {
  if (auto text = simple_element_text(element, scratch)) return *text;
  scratch = read_element_text(element);
  return scratch;
}

std::string extract_element_text(std::string_view element) {
  std::string scratch;
  const std::string_view text = element_text(element, scratch);
  if (text.data() == scratch.data() && text.size() == scratch.size()) return scratch;
  return std::string(text);
}

namespace {

std::string_view element_bytes(const Item& item, std::string_view doc) {
  if (const auto* m = std::get_if<Markup>(&item)) return m->bytes;
  const auto& s = std::get<Span>(item);
  const size_t end = std::min<size_t>(s.end, doc.size());
  const size_t start = std::min<size_t>(s.start, end);
  return doc.substr(start, end - start);
}

}  // namespace

std::string item_text(const Item& item, std::string_view doc) {
  if (const auto* v = std::get_if<Value>(&item)) return v->bytes;
  return extract_element_text(element_bytes(item, doc));
}

namespace {

std::optional<double> parse_text_number(std::string_view text) {
  if (!xml::is_valid_utf8(text)) return std::nullopt;
  return path::parse_decimal(path::trim_unicode_ws(text));
}

}  // namespace

std::optional<double> parse_item_number(const Item& item, std::string_view doc) {
  if (const auto* v = std::get_if<Value>(&item)) return parse_text_number(v->bytes);
  std::string scratch;
  return parse_text_number(element_text(element_bytes(item, doc), scratch));
}

std::string item_text(const Items& items, size_t i, std::string_view doc) {
  if (items.kind(i) == ItemKind::Value) return std::string(items.owned(i));
  return extract_element_text(items.bytes(i, doc));
}

std::optional<double> parse_item_number(const Items& items, size_t i, std::string_view doc) {
  if (items.kind(i) == ItemKind::Value) return parse_text_number(items.owned(i));
  std::string scratch;
  return parse_text_number(element_text(items.bytes(i, doc), scratch));
}

}  // namespace varnex::engine
