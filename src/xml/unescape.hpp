// Entity and character-reference resolution (the five predefined entities only), all or nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "xml/encoding.hpp"

namespace varnex::xml {

enum class UnescapeStatus : uint8_t {
  Ok,
  UnrecognizedEntity,
  UnterminatedEntity,
  UnexpectedSign,
  InvalidNumber,
  IllegalCharacter,
  InvalidCodepoint,
};

// Unescapes already-decoded text. With no '&' in `text`, `out` is `text`
// itself; otherwise the result is written to `scratch` and `out` views it.
[[nodiscard]] UnescapeStatus unescape(std::string_view text, std::string& scratch,
                                      std::string_view* out);

enum class TextStatus : uint8_t { Ok, DecodeError, EscapeError };

// Decode from `enc`, then unescape: decode errors win over escape errors.
// `out` may view `raw` (zero copy), or one of the two scratch buffers.
[[nodiscard]] TextStatus decode_and_unescape(Encoding enc, std::string_view raw,
                                             std::string& scratch_decode,
                                             std::string& scratch_unescape, std::string_view* out);

}  // namespace varnex::xml
