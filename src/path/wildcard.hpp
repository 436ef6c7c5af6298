// Element-name patterns: exact names compared as bytes, or '*'/'?' globs with one backtrack point.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "path/namespaces.hpp"

namespace varnex::path {

// Where a name falls in a 64-bit set of the names looked for, from its last two bytes: a name
// of one byte as if a prefix's colon stood before it, so that `x:a` falls where `a` does, as every
// name an exact name matches falls where it does. Not for the empty name.
[[nodiscard, gnu::always_inline]] inline unsigned name_tail(std::string_view name) noexcept {
  const auto last = static_cast<unsigned char>(name.back());
  const auto before = name.size() > 1 ? static_cast<unsigned char>(name[name.size() - 2]) : ':';
  return (last + 3u * before) % 64;
}

class NameMatcher {
 public:
  enum class Kind : uint8_t { Exact = 0, Glob = 1 };

  NameMatcher() = default;
  // Never fails: escapes are resolved for exact names; globs keep their text.
  [[nodiscard]] static NameMatcher parse(std::string_view text);
  // A local-name pattern (no prefix) whose namespace must also be `ns`.
  [[nodiscard]] static NameMatcher parse(std::string_view local, Namespace ns);

  // The name tests below look at names alone: a namespace other than Any is the caller's to
  // check, against the declarations in scope.

  [[nodiscard]] bool matches(std::string_view qualified, std::string_view local) const noexcept;
  // On raw tag bytes; globs read invalid UTF-8 as the empty name.
  [[nodiscard]] bool matches_bytes(std::string_view qualified,
                                   std::string_view local) const noexcept;

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // Exact: the unescaped name; Glob: the pattern as written.
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  [[nodiscard]] bool has_colon() const noexcept { return has_colon_; }
  [[nodiscard]] const Namespace& ns() const noexcept { return ns_; }
  // Whether ns() is other than Any: kept beside the name's own flags, where matching looks.
  [[nodiscard]] bool tests_namespace() const noexcept { return tests_ns_; }
  // Exact: the name's first eight bytes as one word, in memory order (zero past its end), so
  // a short name compares in one step.
  [[nodiscard]] uint64_t word() const noexcept { return word_; }
  // An exact name of one to eight bytes: its length, and the bits of word() its bytes hold;
  // else 0 and 0.
  [[nodiscard]] size_t short_len() const noexcept { return short_len_; }
  [[nodiscard]] uint64_t keep() const noexcept { return keep_; }
  // Bit name_tail(n) of an exact name n; every bit for anything else. A set of these tells
  // most names that cannot match by one bit.
  [[nodiscard]] uint64_t tail_bit() const noexcept { return tail_bit_; }
  // Whether this is known to match the same names as `other` at the cost of a word compare:
  // both short and alike, and neither tests a namespace (false says nothing).
  [[nodiscard]] bool same_short(const NameMatcher& other) const noexcept {
    return short_key_ != 0 && short_key_ == other.short_key_;
  }

  friend bool operator==(const NameMatcher&, const NameMatcher&) = default;

 private:
  Kind kind_ = Kind::Exact;
  bool has_colon_ = false;
  bool tests_ns_ = false;
  std::string text_;
  uint64_t word_ = 0;
  uint64_t short_key_ = 0;  // an exact name of up to 7 bytes: its word and length; else 0
  uint64_t tail_bit_ = ~0ull;
  uint64_t keep_ = 0;
  uint8_t short_len_ = 0;
  Namespace ns_;
};

// Both arguments are UTF-8 text; matching is by code point.
[[nodiscard]] bool glob_match(std::string_view pattern, std::string_view text) noexcept;

}  // namespace varnex::path
