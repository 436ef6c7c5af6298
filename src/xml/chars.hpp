// XML's character classes in one place: a 256-entry table for the bytes, the NameStartChar,
// NameChar and Char ranges beyond ASCII, the one UTF-8 sequence rule, and the vector scan
// that passes runs of plain ASCII. Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "xml/markup.hpp"

namespace varnex::xml::chars {

// Bits of the byte table.
enum : uint8_t {
  kWs = 1,         // S: space, tab, LF, CR (the reader's whitespace)
  kNameStart = 2,  // ASCII NameStartChar: ':' 'A'-'Z' '_' 'a'-'z'
  kName = 4,       // ASCII NameChar: NameStartChar, '-', '.', '0'-'9'
  kPubid = 8,      // PubidChar: space, CR, LF, letters, digits, -'()+,./:=?;!*#@$_%
  kChar = 16,      // an ASCII Char: tab, LF, CR and 0x20-0x7F
};

struct Range {
  uint32_t lo;
  uint32_t hi;
};

// ASCII NameChar, in order; the byte table and the vector name scan are made from it.
inline constexpr Range kAsciiNameRanges[] = {
    {'-', '.'}, {'0', ':'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}};

struct ByteTable {
  uint8_t bits[256] = {};
  constexpr ByteTable() {
    for (const Range& r : kAsciiNameRanges) {
      for (uint32_t c = r.lo; c <= r.hi; ++c) bits[c] |= kName;
    }
    for (unsigned c = 0; c < 0x80; ++c) {
      const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      const bool digit = c >= '0' && c <= '9';
      if ((detail::kClasses.bits[c] & detail::kClassWs) != 0) bits[c] |= kWs;
      if ((bits[c] & kName) != 0 && !digit && c != '-' && c != '.') bits[c] |= kNameStart;
      if (letter || digit || c == ' ' || c == '\r' || c == '\n') bits[c] |= kPubid;
      if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') bits[c] |= kChar;
    }
    for (const char c : "-'()+,./:=?;!*#@$_%") {
      if (c != '\0') bits[static_cast<unsigned char>(c)] |= kPubid;
    }
  }
};
inline constexpr ByteTable kBytes{};

[[nodiscard]] inline bool has(char c, uint8_t bit) noexcept {
  return (kBytes.bits[static_cast<unsigned char>(c)] & bit) != 0;
}
[[nodiscard]] inline bool is_ws(char c) noexcept { return has(c, kWs); }

// NameStartChar beyond ASCII.
inline constexpr Range kNameStartRanges[] = {
    {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},
    {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F}, {0x2C00, 0x2FEF},
    {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF},
};
// What NameChar adds to NameStartChar beyond ASCII.
inline constexpr Range kNameExtraRanges[] = {{0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}};
// Char beyond ASCII.
inline constexpr Range kCharRanges[] = {{0x80, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}};

template <size_t N>
[[nodiscard]] constexpr bool in_ranges(uint32_t cp, const Range (&ranges)[N]) noexcept {
  for (const Range& r : ranges) {
    if (cp < r.lo) return false;
    if (cp <= r.hi) return true;
  }
  return false;
}

[[nodiscard]] constexpr bool is_name_start(uint32_t cp) noexcept {
  return cp < 0x80 ? (kBytes.bits[cp] & kNameStart) != 0 : in_ranges(cp, kNameStartRanges);
}
[[nodiscard]] constexpr bool is_name_char(uint32_t cp) noexcept {
  if (cp < 0x80) return (kBytes.bits[cp] & kName) != 0;
  return in_ranges(cp, kNameStartRanges) || in_ranges(cp, kNameExtraRanges);
}
[[nodiscard]] constexpr bool is_char(uint32_t cp) noexcept {
  return cp < 0x80 ? (kBytes.bits[cp] & kChar) != 0 : in_ranges(cp, kCharRanges);
}

// The vector name scan's test of a byte, in scalar form: letters once folded to lower case,
// '-' to ':' but '/', and '_'. It must agree with the table, which the assert below sees to.
[[nodiscard]] constexpr bool vector_name_test(unsigned char c) noexcept {
  const auto s = static_cast<signed char>(c);
  const auto folded = static_cast<signed char>(c | 0x20);
  return (folded > 0x60 && folded < 0x7B) || (s > 0x2C && s < 0x3B && s != 0x2F) || s == 0x5F;
}
constexpr bool vector_name_test_agrees() noexcept {
  for (unsigned c = 0; c < 256; ++c) {
    if (vector_name_test(static_cast<unsigned char>(c)) != ((kBytes.bits[c] & kName) != 0))
      return false;
  }
  return true;
}
static_assert(vector_name_test_agrees());

// How many of the 16 bytes at p are ASCII NameChars before the first that is not (16 when
// all are).
[[nodiscard]] inline size_t ascii_name_run(const char* p) noexcept {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed compares: bytes of 0x80 or more pass none of them.
  const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8(0x60)),
                                       _mm_cmplt_epi8(folded, _mm_set1_epi8(0x7B)));
  const __m128i punct = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x2F)),
                                         _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x2C)),
                                                       _mm_cmplt_epi8(v, _mm_set1_epi8(0x3B))));
  const __m128i name =
      _mm_or_si128(_mm_or_si128(letter, punct), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x5F)));
  const unsigned stop = ~static_cast<unsigned>(_mm_movemask_epi8(name)) & 0xFFFFu;
  return stop == 0 ? 16 : static_cast<size_t>(__builtin_ctz(stop));
#else
  size_t n = 0;
  while (n < 16 && has(p[n], kName)) ++n;
  return n;
#endif
}

// The first byte in [p, end) that is A, B or C, a control byte other than tab, LF and CR, or
// a byte of 0x80 or more: the end of a run that needs no look beyond its bytes.
template <char A, char B, char C>
[[nodiscard]] inline const char* plain_run_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i a = _mm_set1_epi8(A);
  const __m128i b = _mm_set1_epi8(B);
  const __m128i c = _mm_set1_epi8(C);
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed: bytes of 0x80 or more are below 0x20 too.
    const __m128i low = _mm_cmplt_epi8(v, space);
    const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)),
                                    _mm_cmpeq_epi8(v, cr));
    const __m128i stop =
        _mm_or_si128(_mm_andnot_si128(ws, low),
                     _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
                                  _mm_cmpeq_epi8(v, c)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    const char x = *p;
    // NOLINTNEXTLINE(misc-redundant-expression): two of the stops may be the same byte
    if (x == A || x == B || x == C || !has(x, kChar)) return p;
  }
  return end;
}

}  // namespace varnex::xml::chars
