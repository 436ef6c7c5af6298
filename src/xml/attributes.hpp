// Lazy attribute iterator over a start tag's content, with the duplicate check and its recovery
// rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "xml/reader.hpp"

namespace varnex::xml {

enum class AttrErrorKind : uint8_t {
  None,
  ExpectedEq,     // pos
  Duplicated,     // pos = this key's start, pos2 = the earlier key's start
  UnquotedValue,  // pos
  ExpectedValue,  // pos
  ExpectedQuote,  // pos, quote
};

struct AttrItem {
  AttrErrorKind error = AttrErrorKind::None;
  std::string_view key;    // when error == None
  std::string_view value;  // raw bytes between the quotes
  size_t pos = 0;          // error positions index the tag content (0 = first byte of the name)
  size_t pos2 = 0;
  char quote = 0;
};

class Attributes {
 public:
  // `content` is the event's content (name included); iteration starts after
  // the first `name_len` bytes.
  Attributes(std::string_view content, size_t name_len, bool with_checks = true) noexcept;
  explicit Attributes(const Event& start_or_empty, bool with_checks = true) noexcept
      : Attributes(start_or_empty.content, start_or_empty.name_len, with_checks) {}

  // Returns false when there are no more items.
  [[nodiscard]] bool next(AttrItem* item) noexcept;

 private:
  enum class State : uint8_t { Done, Next, SkipValue, SkipDupValue };

  [[nodiscard]] bool resume(size_t* at) noexcept;
  // Index of an earlier recorded key equal to [start, start+len), or records
  // this one and returns npos.
  size_t find_or_record(size_t start, size_t len) noexcept;
  bool grow_heap() noexcept;

  std::string_view content_;
  size_t pos_;
  State state_ = State::Next;
  bool checks_;
  // Recorded keys as (start, len); inline storage, heap (with a hash index,
  // so hostile tags with many attributes stay linear) only when many.
  struct KeyRange {
    size_t start;
    size_t len;
  };
  static constexpr size_t kInlineKeys = 16;
  KeyRange inline_keys_[kInlineKeys];
  size_t key_count_ = 0;
  KeyRange* heap_keys_ = nullptr;
  size_t heap_cap_ = 0;
  size_t* index_ = nullptr;  // heap_cap_ * 2 slots: key number + 1, 0 when free
  bool keys_lost_ = false;   // out of memory: stop checking

 public:
  ~Attributes();
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
};

enum class AttrLookup : uint8_t { Found, Absent, Unsure };

namespace detail {
// The high bit of each byte of the eight at `p` that equals `c`, exact up to the first such
// byte (the lowest set bit is always the first match).
[[nodiscard]] inline uint64_t quote_bits(const char* p, char c) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t w;
  std::memcpy(&w, p, 8);
  const uint64_t x = w ^ (kOnes * static_cast<unsigned char>(c));
  return (x - kOnes) & ~x & (kOnes << 7);
}

// The offset of the first `quote` in s[from, n), or n. Most values are short: eight bytes at a
// time cost less than a call.
[[nodiscard]] inline size_t find_quote(const char* s, size_t from, size_t n, char quote) noexcept {
  size_t q = from;
  const size_t near = n - q > 24 ? q + 24 : n;
  for (; q + 8 <= near; q += 8) {
    const uint64_t hit = quote_bits(s + q, quote);
    if (hit != 0) return q + static_cast<size_t>(__builtin_ctzll(hit)) / 8;
  }
  while (q < near && s[q] != quote) ++q;
  if (q < near || q == n) return q;
  const void* close = std::memchr(s + q, quote, n - q);
  return close == nullptr ? n : static_cast<size_t>(static_cast<const char*>(close) - s);
}
}  // namespace detail

// Whether `bytes` may hold an attribute whose value is `value` once unescaped: they hold
// `value` as written, or a '&'. One pass, cheaper than a lookup that then fails, which is what
// most records do.
[[nodiscard]] inline bool may_hold_value(std::string_view bytes, std::string_view value) noexcept {
  if (value.empty()) return true;
  const char* const s = bytes.data();
  const size_t n = bytes.size();
  const size_t m = value.size();
  const char first = value.front();
  const char last = value.back();
  const auto at = [&](size_t i) {
    return s[i] == '&' ||
           (n - i >= m && s[i + m - 1] == last && std::memcmp(s + i, value.data(), m) == 0);
  };
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i first_v = _mm_set1_epi8(first);
    const __m128i amp_v = _mm_set1_epi8('&');
    // The last block overlaps the one before it rather than reading past the bytes.
    for (size_t i = 0;; i += 16) {
      if (i + 16 > n) i = n - 16;
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      auto hits = static_cast<uint32_t>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, first_v), _mm_cmpeq_epi8(v, amp_v))));
      for (; hits != 0; hits &= hits - 1) {
        if (at(i + static_cast<size_t>(__builtin_ctz(hits)))) return true;
      }
      if (i + 16 == n) return false;
    }
  }
#endif
  for (size_t i = 0; i < n; ++i) {
    if ((s[i] == first || s[i] == '&') && at(i)) return true;
  }
  return false;
}

// The raw value of the first well-formed attribute whose key `wanted` accepts, in one pass
// that keeps nothing: the lookup on the hot path. Keys and values are the bytes Attributes
// takes, with or without its duplicate check, as long as every value is quoted (a repeated
// key's quoted value is passed over the same way either way, and it comes after the key it
// repeats). After an unquoted value the two can differ: Unsure, iterate instead.
template <class Wanted>
[[nodiscard]] inline AttrLookup find_attribute(std::string_view content, size_t name_len,
                                               Wanted&& wanted, std::string_view* value) noexcept {
  const auto ws_byte = [](char c) { return is_ws(static_cast<unsigned char>(c)); };
  const char* const s = content.data();
  const size_t n = content.size();
  size_t i = name_len < n ? name_len : n;
  for (;;) {
    while (i < n && ws_byte(s[i])) ++i;
    if (i == n) return AttrLookup::Absent;
    const size_t key_start = i;
    size_t e = i + 1;
    while (e < n && s[e] != '=' && !ws_byte(s[e])) ++e;
    const size_t key_end = e;
    if (e < n && ws_byte(s[e])) {
      while (e < n && ws_byte(s[e])) ++e;
      if (e < n && s[e] != '=') {
        i = e;  // no '=': the next key starts here
        continue;
      }
    }
    if (e == n) return AttrLookup::Absent;
    size_t v = e + 1;
    while (v < n && ws_byte(s[v])) ++v;
    if (v == n) return AttrLookup::Absent;
    const char quote = s[v];
    if (quote != '"' && quote != '\'') [[unlikely]]
      return AttrLookup::Unsure;
    const size_t q = detail::find_quote(s, v + 1, n, quote);
    if (q == n) return AttrLookup::Absent;
    if (wanted(std::string_view(s + key_start, key_end - key_start))) {
      *value = std::string_view(s + v + 1, q - v - 1);
      return AttrLookup::Found;
    }
    i = q + 1;
  }
}

}  // namespace varnex::xml
