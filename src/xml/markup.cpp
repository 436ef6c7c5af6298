// Where each construct ends: the rules the index comes back to for markup its bitmaps do not
// describe (quoted '>' or '<', comments, CDATA, DOCTYPEs, PIs) and for broken markup.
#include "xml/markup.hpp"

#include <string_view>

namespace varnex::xml::detail {
namespace {

// Bits above bit i (i may be 31).
[[nodiscard]] inline uint32_t above(unsigned i) noexcept { return i >= 31 ? 0u : ~0u << (i + 1); }

[[nodiscard]] inline uint32_t prefix_xor32(uint32_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  return x;
}

// The first '>' at or after `from` whose two bytes before are `a` and `b` (b may be 0 for "one
// byte before, equal to a"), searched from `from`; npos if none.
size_t find_terminator(const char* base, size_t len, size_t from, char a, char b) noexcept {
  for (;;) {
    const char* p = from < len ? find_byte(base + from, base + len, '>') : nullptr;
    if (p == nullptr) return kNpos;
    const size_t gt = static_cast<size_t>(p - base);
    if (b == 0 ? base[gt - 1] == a : base[gt - 1] == b && base[gt - 2] == a) return gt;
    from = gt + 1;
  }
}

// doctype ::= '<!DOCTYPE' ... '>' : the first '>' outside quoted literals, at bracket depth 0.
// Inside the internal subset ('[' ... ']') comments and processing instructions hide whatever
// they hold as well. npos if none.
size_t doctype_end(const char* base, size_t len, size_t from) noexcept {
  const char* const end = base + len;
  size_t brackets = 0;
  for (size_t i = from; i < len; ++i) {
    const char c = base[i];
    const char* close = nullptr;
    if (c == '"' || c == '\'') {
      close = find_byte(base + i + 1, end, c);
    } else if (c == '<' && brackets > 0 && len - i >= 4 && std::memcmp(base + i, "<!--", 4) == 0) {
      const std::string_view rest(base + i + 4, len - i - 4);
      const size_t at = rest.find("-->");
      close = at == std::string_view::npos ? nullptr : rest.data() + at + 2;
    } else if (c == '<' && brackets > 0 && i + 1 < len && base[i + 1] == '?') {
      const std::string_view rest(base + i + 2, len - i - 2);
      const size_t at = rest.find("?>");
      close = at == std::string_view::npos ? nullptr : rest.data() + at + 1;
    } else {
      if (c == '[') ++brackets;
      if (c == ']' && brackets > 0) --brackets;
      if (c == '>' && brackets == 0) return i;
      continue;
    }
    if (close == nullptr) return kNpos;
    i = static_cast<size_t>(close - base);
  }
  return kNpos;
}

MarkupEnd fatal(ErrorKind kind, size_t pos) noexcept { return MarkupEnd{0, kind, pos}; }

// '<!' picks a construct by the byte after '!', finds its terminator, and only then checks the
// full opening keyword.
MarkupEnd bang_end(const char* base, size_t len, size_t lt) noexcept {
  const size_t bang = lt + 1;
  if (bang + 1 >= len) return fatal(ErrorKind::InvalidBangMarkup, bang);
  const char kind = base[bang + 1];
  if (kind == '-') {
    // The first '-->' that starts at or after '<!--'.
    const size_t gt = find_terminator(base, len, bang + 5, '-', '-');
    if (gt == kNpos) return fatal(ErrorKind::UnclosedComment, len);
    if (base[bang + 2] != '-') return fatal(ErrorKind::UnclosedComment, gt + 1);
    return MarkupEnd{gt};
  }
  if (kind == '[') {
    // The first ']]>' after '<!['.
    const size_t gt = find_terminator(base, len, bang + 2, ']', ']');
    if (gt == kNpos) return fatal(ErrorKind::UnclosedCData, len);
    if (gt - bang < 10 || std::memcmp(base + bang, "![CDATA[", 8) != 0) {
      return fatal(ErrorKind::UnclosedCData, gt + 1);
    }
    return MarkupEnd{gt};
  }
  if (kind == 'D' || kind == 'd') {
    const size_t gt = doctype_end(base, len, bang + 2);
    if (gt == kNpos) return fatal(ErrorKind::UnclosedDoctype, len);
    static constexpr char kKeyword[] = "!DOCTYPE";
    bool keyword = gt - bang >= 8;
    for (size_t i = 0; keyword && i < 8; ++i) {
      char c = base[bang + i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      keyword = c == kKeyword[i];
    }
    if (!keyword) return fatal(ErrorKind::UnclosedDoctype, gt + 1);
    return MarkupEnd{gt};
  }
  return fatal(ErrorKind::InvalidBangMarkup, bang);
}

// pi ::= '<?' content '?>' : the first '>' after a '?', counting the '?' right after '<'.
MarkupEnd question_end(const char* base, size_t len, size_t lt) noexcept {
  const size_t q = lt + 1;
  const size_t gt = find_terminator(base, len, q + 1, '?', 0);
  if (gt == kNpos) return fatal(ErrorKind::UnclosedPIOrXmlDecl, len);
  // In '<?>' the only '?' is the opening one.
  if (gt == q + 1) return fatal(ErrorKind::UnclosedPIOrXmlDecl, gt + 1);
  return MarkupEnd{gt};
}

}  // namespace

// Works on 32-byte windows of '>', '"' and '\'' masks; a window with only one kind of quote is
// resolved without a branch per quote.
const char* find_tag_end(const char* p, const char* end) noexcept {
  char in_quote = 0;
#if defined(__SSE2__)
  const __m128i gt_v = _mm_set1_epi8('>');
  const __m128i dq_v = _mm_set1_epi8('"');
  const __m128i sq_v = _mm_set1_epi8('\'');
  while (end - p >= 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    auto mask = [&](__m128i needle) {
      return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, needle))) |
             static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, needle))) << 16;
    };
    uint32_t gt = mask(gt_v);
    uint32_t dq = mask(dq_v);
    uint32_t sq = mask(sq_v);
    if (in_quote != 0) [[unlikely]] {
      const uint32_t close = in_quote == '"' ? dq : sq;
      if (close == 0) {
        p += 32;
        continue;
      }
      const uint32_t keep = above(static_cast<unsigned>(__builtin_ctz(close)));
      gt &= keep;
      dq &= keep;
      sq &= keep;
      in_quote = 0;
    }
    if (sq == 0 || dq == 0) [[likely]] {
      const uint32_t quotes = dq | sq;
      const uint32_t outside = gt & ~prefix_xor32(quotes);
      if (outside != 0) return p + __builtin_ctz(outside);
      if (__builtin_popcount(quotes) & 1) in_quote = dq != 0 ? '"' : '\'';
      p += 32;
      continue;
    }
    // Both kinds of quote: walk the stops in order.
    for (;;) {
      const uint32_t stops = gt | dq | sq;
      if (stops == 0) break;
      const unsigned i = static_cast<unsigned>(__builtin_ctz(stops));
      const uint32_t bit = 1u << i;
      if (gt & bit) return p + i;
      const bool dquote = (dq & bit) != 0;
      const uint32_t close = (dquote ? dq : sq) & above(i);
      if (close == 0) {
        in_quote = dquote ? '"' : '\'';
        break;
      }
      const uint32_t keep = above(static_cast<unsigned>(__builtin_ctz(close)));
      gt &= keep;
      dq &= keep;
      sq &= keep;
    }
    p += 32;
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    if (in_quote != 0) {
      if (c == in_quote) in_quote = 0;
    } else if (c == '>') {
      return p;
    } else if (c == '"' || c == '\'') {
      in_quote = c;
    }
  }
  return nullptr;
}

MarkupEnd markup_end(const char* base, size_t len, size_t lt) noexcept {
  if (lt + 1 >= len) return fatal(ErrorKind::UnclosedTag, len);
  switch (base[lt + 1]) {
    case '!': return bang_end(base, len, lt);
    case '?': return question_end(base, len, lt);
    default: {
      // Start and end tags: quotes toggle from the byte after '<'.
      const char* gt = find_tag_end(base + lt + 1, base + len);
      if (gt == nullptr) return fatal(ErrorKind::UnclosedTag, len);
      return MarkupEnd{static_cast<size_t>(gt - base)};
    }
  }
}

}  // namespace varnex::xml::detail
