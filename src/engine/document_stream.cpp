// Decoding a document a piece at a time: held back until its encoding is known, then cut after
// a '>' (no multi-byte character of any supported encoding holds that byte as ASCII does).
#include "engine/document_stream.hpp"

#include <algorithm>

namespace varnex::engine {

size_t DocumentStream::complete_prefix(bool final) const noexcept {
  if (final) return held_.size();
  const std::string_view bytes = held_;
  switch (found_.encoding) {
    case xml::Encoding::Utf16LE:
    case xml::Encoding::Utf16BE: {
      // After a '>' code unit at an even place.
      const bool le = found_.encoding == xml::Encoding::Utf16LE;
      for (size_t i = bytes.size() & ~size_t{1}; i >= 2; i -= 2) {
        const char lo = bytes[i - (le ? 2 : 1)];
        const char hi = bytes[i - (le ? 1 : 2)];
        if (lo == '>' && hi == '\0') return i;
      }
      return 0;
    }
    case xml::Encoding::Iso2022Jp:
      return 0;  // its escapes carry a state across any byte: decoded once, at the end
    default: {
      const size_t gt = bytes.rfind('>');
      return gt == std::string_view::npos ? 0 : gt + 1;
    }
  }
}

void DocumentStream::decode_into(std::string_view raw, std::string& out) {
  std::string_view decoded;
  if (xml::decode(found_.encoding, raw, scratch_, &decoded) == xml::DecodeStatus::Ok) {
    out.append(decoded);
    return;
  }
  scratch_.clear();
  xml::decode_marking_errors(found_.encoding, raw, scratch_);
  out.append(scratch_);
}

void DocumentStream::push(std::string_view raw, bool final, std::string& out) {
  if (settled_ && found_.encoding == xml::Encoding::Utf8) {
    out.append(raw);
    return;
  }
  held_.append(raw);
  if (!settled_) {
    const std::optional<DocumentEncoding> found = stream_encoding(held_, final);
    if (!found) return;
    found_ = *found;
    settled_ = true;
    if (found_.encoding == xml::Encoding::Utf8) {
      out.append(held_);  // a UTF-8 mark stays: the reader passes it as it does in a whole one
      held_.clear();
      held_.shrink_to_fit();
      return;
    }
    held_.erase(0, found_.mark);
  }
  const size_t n = complete_prefix(final);
  if (n == 0) return;
  decode_into(std::string_view(held_).substr(0, n), out);
  held_.erase(0, n);
}

}  // namespace varnex::engine
