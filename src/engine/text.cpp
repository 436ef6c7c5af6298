// Element text: gathering inside a scope, from element bytes, and item texts and numbers.
#include "engine/engine.hpp"
#include "engine/internal.hpp"
#include "path/number.hpp"
#include "xml/encoding.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

void read_text_in_scope_into(xml::Reader& reader, std::string& out) {
  std::string scratch_decode;
  std::string scratch_unescape;
  size_t depth = 1;
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        ++depth;
        break;
      case xml::EventKind::End:
        if (--depth == 0) return;
        break;
      case xml::EventKind::Text: {
        std::string_view text;
        // A piece that fails to decode or unescape is dropped whole.
        if (xml::decode_and_unescape(ev.encoding, ev.content, scratch_decode, scratch_unescape,
                                     &text) == xml::TextStatus::Ok) {
          out += text;
        }
        break;
      }
      case xml::EventKind::CData:
        out += ev.content;
        break;
      case xml::EventKind::Eof:
        return;
      default:
        break;  // errors are skipped; a fatal one is followed by Eof
    }
  }
}

std::string read_text_in_scope(xml::Reader& reader) {
  std::string out;
  read_text_in_scope_into(reader, out);
  return out;
}

std::string extract_element_text(std::string_view element) {
  xml::Reader reader(element, xml::Config::query());
  for (;;) {
    const xml::Event ev = reader.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        return read_text_in_scope(reader);
      case xml::EventKind::Empty:
      case xml::EventKind::Eof:
        return {};
      default:
        break;
    }
  }
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

std::optional<double> parse_item_number(const Item& item, std::string_view doc) {
  std::string owned;
  std::string_view text;
  if (const auto* v = std::get_if<Value>(&item)) {
    text = v->bytes;
  } else {
    owned = extract_element_text(element_bytes(item, doc));
    text = owned;
  }
  if (!xml::is_valid_utf8(text)) return std::nullopt;
  return path::parse_decimal(path::trim_unicode_ws(text));
}

}  // namespace varnex::engine
