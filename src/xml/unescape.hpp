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

// The character the predefined entity `name` (lt, gt, amp, apos, quot) stands for, or NUL.
[[nodiscard]] char predefined_entity(std::string_view name) noexcept;

// What follows "&#" in a character reference, up to the ';': 'x' and hex digits, or decimal
// digits. Rejects 0, surrogates and values above U+10FFFF; *cp is the code point.
[[nodiscard]] UnescapeStatus parse_char_ref(std::string_view ref, uint32_t* cp) noexcept;

// Appends `cp` (a Unicode scalar value) as UTF-8.
void append_utf8(std::string& out, uint32_t cp);

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
