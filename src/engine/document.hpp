// A document's bytes in the encoding they announce, read as the UTF-8 every pass expects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "xml/encoding.hpp"

namespace varnex::engine {

// What the bytes of a document announce, found as the reader finds it: a
// byte-order mark, then an XML declaration before the first element (the
// first one with a known label). `mark` is the length of the byte-order mark.
struct DocumentEncoding {
  xml::Encoding encoding = xml::Encoding::Utf8;
  size_t mark = 0;
  // The label a declaration gives when it is none of the known ones (the bytes are then read
  // as UTF-8 here, and the caller may know the label): a view into the document.
  std::string_view other_label;

  // The bytes are read as they are, with nothing to decode and no codec to ask.
  [[nodiscard]] bool as_is() const noexcept {
    return encoding == xml::Encoding::Utf8 && other_label.empty();
  }
};
[[nodiscard]] DocumentEncoding detect_document_encoding(std::string_view doc) noexcept;
// The same for the first bytes of a document; `settled` tells whether more bytes could change
// the answer (they cannot once an element or a declaration with a known label has been read).
[[nodiscard]] DocumentEncoding detect_document_encoding(std::string_view doc,
                                                        bool* settled) noexcept;

// The bytes a pass reads for one document. UTF-8 bytes (and ASCII bytes in an
// encoding that keeps ASCII as it is) are read in place; any other document
// is decoded once into a UTF-8 copy this object owns, without the byte-order
// mark. Bytes that cannot be decoded become bytes that are not UTF-8, so they
// are met as invalid UTF-8 is in a UTF-8 document.
class Document {
 public:
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // Reads `raw`, which must outlive this object when it is used in place.
  // May throw bad_alloc.
  void load(std::string_view raw);
  // The same for `raw` whose encoding the caller has detected already.
  void load(std::string_view raw, const DocumentEncoding& found);
  // Takes `utf8`, a document the caller decoded, as the bytes to read.
  void adopt(std::string utf8) noexcept;
  void clear() noexcept;

  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }
  // True when bytes() is this object's copy rather than the caller's bytes.
  [[nodiscard]] bool is_copy() const noexcept { return is_copy_; }

 private:
  std::string owned_;
  std::string_view bytes_;
  bool is_copy_ = false;
};

}  // namespace varnex::engine
