// A document that arrives in pieces, read as the UTF-8 every pass expects: its encoding found
// as for a whole document, then each piece decoded up to a place no character straddles.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/document.hpp"

namespace varnex::engine {

// The encoding of a stream whose first `held` bytes are known: found as for a whole document,
// or nothing while more bytes could change it (the prolog is held up to 16 MB, and past that,
// or at the end, it is decided on what has come).
[[nodiscard]] inline std::optional<DocumentEncoding> stream_encoding(std::string_view held,
                                                                     bool final) noexcept {
  constexpr size_t kMaxPrologBytes = 16 << 20;
  bool settled = false;
  DocumentEncoding found = detect_document_encoding(held, &settled);
  if (!settled && !final && held.size() < kMaxPrologBytes) return std::nullopt;
  return found;
}

class DocumentStream {
 public:
  // `text`: the pieces are UTF-8 text already, whatever they declare (a str's).
  explicit DocumentStream(bool text) noexcept : settled_(text) {}

  // Appends to `out` the UTF-8 of as much of the document as `raw` (the next piece) completes;
  // with `final` the document ends after it. May throw bad_alloc.
  void push(std::string_view raw, bool final, std::string& out);

  // The encoding found (UTF-8 until it is known).
  [[nodiscard]] xml::Encoding encoding() const noexcept { return found_.encoding; }

 private:
  // How much of `held_` ends on a character boundary that later bytes cannot move.
  [[nodiscard]] size_t complete_prefix(bool final) const noexcept;
  void decode_into(std::string_view raw, std::string& out);

  bool settled_;
  DocumentEncoding found_;
  std::string held_;  // bytes not decoded yet
  std::string scratch_;
};

}  // namespace varnex::engine
