// Document encodings: detection from a byte-order mark or declaration, and decoding to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/utf8.hpp"

namespace varnex::xml {

// WHATWG encodings; the tokenizer is byte-based whatever the encoding.
// Grouped by family.
// clang-format off
enum class Encoding : uint8_t {
  Utf8,
  Utf16LE,
  Utf16BE,
  Windows1252,
  Iso8859_2, Iso8859_3, Iso8859_4, Iso8859_5, Iso8859_6, Iso8859_7, Iso8859_8, Iso8859_8I,
  Iso8859_10, Iso8859_13, Iso8859_14, Iso8859_15, Iso8859_16,
  Windows1250, Windows1251, Windows1253, Windows1254, Windows1255, Windows1256, Windows1257,
  Windows1258, Windows874,
  Koi8R, Koi8U, Ibm866, Macintosh, XMacCyrillic,
  Gbk, Gb18030, Big5, EucJp, Iso2022Jp, ShiftJis, EucKr,
  Replacement,
  XUserDefined,
};
// clang-format on

// Where the current encoding came from; only Implicit may be refined (a byte-order mark wins).
enum class EncodingOrigin : uint8_t { Implicit, Explicit, Bom, Declaration };

// Looks up a WHATWG label (ASCII ws trimmed, case-insensitive). False when unknown.
[[nodiscard]] bool encoding_for_label(std::string_view label, Encoding* out) noexcept;

enum class DecodeStatus : uint8_t { Ok, Malformed };

// Decodes `raw` from `enc` into UTF-8. When no conversion is needed (valid
// UTF-8 input) `out` is set to `raw` itself and `scratch` is untouched;
// otherwise the text is written to `scratch` and `out` views it.
[[nodiscard]] DecodeStatus decode(Encoding enc, std::string_view raw, std::string& scratch,
                                  std::string_view* out);

// Decodes the whole of `raw` from `enc` into `out` as UTF-8, never failing:
// each sequence that cannot be decoded becomes the byte FF, which is neither
// UTF-8 nor ASCII, so the text reads as invalid UTF-8 exactly there and no
// markup is made of it. UTF-8 input is copied as it is.
void decode_marking_errors(Encoding enc, std::string_view raw, std::string& out);

using utf8::ascii_prefix;
[[nodiscard]] inline bool is_ascii(std::string_view bytes) noexcept {
  return ascii_prefix(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) ==
         bytes.size();
}

// Where and how a byte string stops being UTF-8.
using Utf8Error = utf8::Error;
// Strict UTF-8 validation (base/utf8.hpp): nothing when `bytes` are valid, else where they
// stop being so.
[[nodiscard]] std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;
[[nodiscard]] inline bool is_valid_utf8(std::string_view bytes) noexcept {
  return !check_utf8(bytes).has_value();
}

// The length of code point `cp` (at most U+10FFFF) in UTF-8.
[[nodiscard]] constexpr size_t utf8_length(uint32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes `cp` as UTF-8 at `out`, which has room for utf8_length(cp) bytes; returns that length.
inline size_t encode_utf8(uint32_t cp, char* out) noexcept {
  const size_t n = utf8_length(cp);
  static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t i = n - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<char>(kLead[n] | cp);
  return n;
}

}  // namespace varnex::xml
