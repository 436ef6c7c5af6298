// The strict check of a whole document: its encoding, XML 1.0 well-formedness, and where the
// first error is (offset, line, column, the elements around it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnex::engine {

struct CheckReport {
  static constexpr size_t kUnknown = static_cast<size_t>(-1);

  bool ok = true;
  std::string message;  // the rule broken
  // Offset of the error in the caller's bytes, or kUnknown where a decoded document's bytes
  // cannot be counted back (the multi-byte East Asian encodings).
  size_t offset = 0;
  size_t chars_before = 0;  // characters before the error
  size_t line = 0;          // from 1; LF, CR LF and a lone CR end a line
  size_t column = 0;        // from 1, in characters
  // The elements open at the error, and the one whose tag holds it: `catalog.book[41].title`,
  // an element after others of its name with its index among them, counted from 0.
  std::string path;
};

// Checks `raw`, the caller's bytes in the encoding they announce (a byte-order mark or the
// XML declaration), or with `is_text` the UTF-8 form of a str, whose declaration names no
// encoding of bytes. May throw bad_alloc.
[[nodiscard]] CheckReport check_document(std::string_view raw, bool is_text);

// The element path of `report` at byte `offset` of `doc` (UTF-8), read with the query reader.
[[nodiscard]] std::string element_path_at(std::string_view doc, size_t offset);

}  // namespace varnex::engine
