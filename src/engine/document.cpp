// Detecting a document's encoding and decoding it to UTF-8 once, before a pass.
#include "engine/document.hpp"

#include <utility>

#include "xml/reader.hpp"

namespace varnex::engine {
namespace {

bool is_utf16(xml::Encoding encoding) noexcept {
  return encoding == xml::Encoding::Utf16LE || encoding == xml::Encoding::Utf16BE;
}

// "<?" in UTF-16 without a byte-order mark, which the reader takes as UTF-16.
bool starts_utf16_declaration(std::string_view doc) noexcept {
  return doc.starts_with(std::string_view("\0<\0?", 4)) ||
         doc.starts_with(std::string_view("<\0?\0", 4));
}

}  // namespace

DocumentEncoding detect_document_encoding(std::string_view doc) noexcept {
  bool settled = false;
  return detect_document_encoding(doc, &settled);
}

DocumentEncoding detect_document_encoding(std::string_view doc, bool* settled) noexcept {
  *settled = true;
  const auto* b = reinterpret_cast<const unsigned char*>(doc.data());
  const size_t n = doc.size();
  // A byte-order mark decides, whatever a declaration says.
  if (n < 3) *settled = false;  // a mark or a tag may be what comes
  if (n >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE))) {
    return {b[0] == 0xFE ? xml::Encoding::Utf16BE : xml::Encoding::Utf16LE, 2, {}};
  }
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return {xml::Encoding::Utf8, 3, {}};
  // A tag first: the reader meets an element before any declaration.
  if (n >= 2 && b[0] == '<' && b[1] != '?' && b[1] != '!' && b[1] != 0) {
    return {xml::Encoding::Utf8, 0, {}};
  }
  xml::Reader reader(doc);
  // Until the first element, or a declaration that settles it.
  bool prolog = true;
  std::string_view other_label;
  while (prolog && reader.encoding_origin() != xml::EncodingOrigin::Declaration) {
    const xml::Event event = reader.read_event();
    const xml::EventKind kind = event.kind;
    switch (kind) {
      case xml::EventKind::Decl:
        if (reader.encoding_origin() != xml::EncodingOrigin::Declaration && other_label.empty())
          other_label = xml::declared_encoding(event.content);
        break;
      case xml::EventKind::PI:
      case xml::EventKind::Comment:
      case xml::EventKind::DocType:
      case xml::EventKind::Text: break;
      default:
        // The input ran out (or broke off) before an element: more of it could decide.
        *settled = kind == xml::EventKind::Start || kind == xml::EventKind::Empty;
        prolog = false;
    }
  }
  xml::Encoding encoding = reader.encoding();
  // UTF-16 named by a declaration that could be read byte by byte: the
  // document cannot be UTF-16, and its bytes are read as UTF-8.
  if (is_utf16(encoding) && !starts_utf16_declaration(doc)) encoding = xml::Encoding::Utf8;
  if (reader.encoding_origin() == xml::EncodingOrigin::Declaration) other_label = {};
  return {encoding, 0, other_label};
}

void Document::adopt(std::string utf8) noexcept {
  owned_ = std::move(utf8);
  bytes_ = owned_;
  is_copy_ = true;
}

void Document::load(std::string_view raw) { load(raw, detect_document_encoding(raw)); }

void Document::load(std::string_view raw, const DocumentEncoding& found) {
  clear();
  bytes_ = raw;
  if (found.encoding == xml::Encoding::Utf8) return;
  const std::string_view body = raw.substr(found.mark);
  std::string_view decoded;
  if (xml::decode(found.encoding, body, owned_, &decoded) == xml::DecodeStatus::Ok) {
    // ASCII in an encoding that keeps ASCII as it is reads the same in place.
    if (decoded.data() == body.data()) return;
  } else {
    xml::decode_marking_errors(found.encoding, body, owned_);
  }
  bytes_ = owned_;
  is_copy_ = true;
}

void Document::clear() noexcept {
  owned_.clear();
  bytes_ = {};
  is_copy_ = false;
}

}  // namespace varnex::engine
