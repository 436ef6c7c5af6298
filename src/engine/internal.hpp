// Engine-private rules shared by the scan, the entry points and the item helpers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "path/program.hpp"
#include "xml/attributes.hpp"
#include "xml/encoding.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

// --- names ----------------------------------------------------------------------------------

[[nodiscard]] constexpr std::string_view local_name_bytes(std::string_view qname) noexcept {
  return xml::local_name(qname);
}

// Whether `name` has a prefix (a colon): then it names the qualified name, else the local one.
[[nodiscard]] constexpr bool has_prefix(std::string_view name) noexcept {
  for (const char c : name) {
    if (c == ':') return true;
  }
  return false;
}

// a[0..n) == b[0..n): names are short, and a short loop costs less than a call.
[[nodiscard]] inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Whether the qualified name `qname` (as written in a tag) has the name `name`: the whole
// qualified name when `name` has a prefix, the local name otherwise. Runs for every state at
// every tag, so the local name is not looked for first: `name` must end `qname`, right after
// its first colon unless it is all of it.
[[nodiscard, gnu::always_inline]] inline bool is_named(std::string_view qname,
                                                       std::string_view name,
                                                       bool prefixed) noexcept {
  if (prefixed)
    return qname.size() == name.size() && same_bytes(qname.data(), name.data(), name.size());
  if (name.empty()) return local_name_bytes(qname).empty();
  // The last byte first: most names that differ differ there.
  if (qname.size() < name.size() || qname.back() != name.back() ||
      !same_bytes(qname.data() + qname.size() - name.size(), name.data(), name.size())) {
    return false;
  }
  if (qname.size() == name.size()) return true;
  const size_t colon = qname.size() - name.size() - 1;
  return qname[colon] == ':' && !has_prefix(qname.substr(0, colon));
}

// An element's name test: exact names by the rule above, globs by the matcher.
[[nodiscard, gnu::noinline]] inline bool is_named(std::string_view qname,
                                                  const path::NameMatcher& m) noexcept {
  if (m.kind() == path::NameMatcher::Kind::Exact) return is_named(qname, m.text(), m.has_colon());
  return m.matches_bytes(qname, local_name_bytes(qname));
}

// The same test for a tag name followed by at least `room` readable bytes: a short exact name
// then compares as one word, in line (the rest is a call).
[[nodiscard, gnu::always_inline]] inline bool is_named(std::string_view qname,
                                                       const path::NameMatcher& m,
                                                       size_t room) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const size_t n = m.short_len();
  if (n != 0 && room >= 8 && qname.size() >= n) {
    uint64_t x;
    std::memcpy(&x, qname.data() + qname.size() - n, 8);
    if (((x ^ m.word()) & m.keep()) != 0) return false;
    if (qname.size() == n) return true;
    if (m.has_colon()) return false;
    const size_t colon = qname.size() - n - 1;
    return qname[colon] == ':' && !has_prefix(qname.substr(0, colon));
  }
#else
  (void)room;
#endif
  return is_named(qname, m);
}

// --- attributes and text --------------------------------------------------------------------

class NamespaceScope;

// Attribute lookup. A name with a prefix matches the attribute written with that prefix; one
// without matches whatever the prefix. The first match decides; malformed entries are passed
// over. A value is unescaped when it is UTF-8 and resolves, else given raw.
class TagAttributes {
 public:
  // A new tag: its content as the reader gives it (the name's length first).
  void reset(std::string_view content, size_t name_len) noexcept {
    content_ = content;
    name_len_ = name_len;
  }
  // Keeps each tag's first few lookups, for when several paths ask one tag for the same
  // attribute (a key); one path asks each name once.
  void remember(bool on) noexcept { remember_ = on; }
  // The raw bytes of attribute `name`, as written.
  [[nodiscard]] std::optional<std::string_view> find_raw(std::string_view name) {
    if (!remember_) return lookup(name);
    if (remembered_tag_ != content_.data()) {
      remembered_tag_ = content_.data();
      remembered_ = 0;
    }
    for (size_t i = 0; i < remembered_; ++i) {
      const Remembered& m = memo_[i];
      if (m.name.size() == name.size() && same_bytes(m.name.data(), name.data(), name.size())) {
        return m.found ? std::optional(m.raw) : std::nullopt;
      }
    }
    return remembered(name);
  }
  // Its value, valid until the next lookup.
  [[nodiscard]] std::optional<std::string_view> find(std::string_view name);
  // The same for the attribute of local name `name` in namespace `ns`, read through the
  // scope set last with in_scope (any namespace: as above). `Scoped` is false in a pass where
  // no name tests a namespace: `ns` is then never looked at.
  template <bool Scoped>
  [[nodiscard]] std::optional<std::string_view> find_raw(std::string_view name,
                                                         const path::Namespace& ns) {
    if constexpr (Scoped) {
      if (!ns.any()) return lookup_in(name, ns);
    }
    return find_raw(name);
  }
  template <bool Scoped>
  [[nodiscard]] std::optional<std::string_view> find(std::string_view name,
                                                     const path::Namespace& ns) {
    if constexpr (Scoped) {
      if (!ns.any()) return find_in(name, ns);
    }
    return find(name);
  }
  // The declarations around the tag: `scope`'s first `in_force`.
  void in_scope(const NamespaceScope* scope, uint32_t in_force) noexcept {
    scope_ = scope;
    in_force_ = in_force;
  }
  // Whether some attribute's value can be `value`: the tag holds it as written, or holds a
  // reference that could resolve to it. One search, cheaper than a lookup that then fails.
  [[nodiscard]] bool may_have_value(std::string_view value) const noexcept {
    return xml::may_hold_value(content_.substr(std::min(name_len_, content_.size())), value);
  }

 private:
  [[nodiscard]] std::optional<std::string_view> lookup(std::string_view name) const;
  [[nodiscard]] std::optional<std::string_view> remembered(std::string_view name);
  [[nodiscard]] std::optional<std::string_view> lookup_in(std::string_view name,
                                                          const path::Namespace& ns) const;
  [[nodiscard]] std::optional<std::string_view> find_in(std::string_view name,
                                                        const path::Namespace& ns);

  std::string_view content_;
  size_t name_len_ = 0;
  struct Remembered {
    std::string_view name;
    std::string_view raw;
    bool found = false;
  };
  static constexpr size_t kRemembered = 4;
  Remembered memo_[kRemembered];
  size_t remembered_ = 0;
  const char* remembered_tag_ = nullptr;  // the tag they were made on
  bool remember_ = false;
  std::string scratch_;
  const NamespaceScope* scope_ = nullptr;
  uint32_t in_force_ = 0;
};

// Whether UTF-8 bytes `raw` are ASCII without '&', eight bytes at a time: such text or value
// is its own decoded, unescaped self.
[[nodiscard]] inline bool is_plain(std::string_view raw) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= raw.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, raw.data() + i, 8);
    const uint64_t amp = w ^ (kOnes * '&');  // a zero byte where w has '&'
    if (((w | ((amp - kOnes) & ~amp)) & kHigh) != 0) return false;
  }
  for (; i < raw.size(); ++i) {
    if (static_cast<unsigned char>(raw[i]) >= 0x80 || raw[i] == '&') return false;
  }
  return true;
}

// An attribute's value as lookups give it: unescaped when it is UTF-8 and resolves, else raw.
// May view `raw` or `scratch`.
[[nodiscard]] std::string_view attribute_value(std::string_view raw, std::string& scratch);

// What one piece of text adds to an element's text: decoded and unescaped. A piece that
// cannot be decoded, or holds a reference that cannot be resolved (an entity no DTD defines
// here), is kept as written, as attribute values are. May view `raw` or either scratch buffer.
[[nodiscard]] std::string_view text_piece(xml::Encoding enc, std::string_view raw,
                                          std::string& scratch_decode,
                                          std::string& scratch_unescape);

// Reads the rest of the current element (the reader stands inside it) and returns its text;
// the reader ends past the element's end tag.
[[nodiscard]] std::string read_text_in_scope(xml::Reader& reader);
// Same, as a view: of a field's one piece of text where it lies (the input or a scratch
// buffer), else of `buffer`, which gathers the pieces.
[[nodiscard]] std::string_view read_text_in_scope(xml::Reader& reader, std::string& buffer,
                                                  std::string& scratch_decode,
                                                  std::string& scratch_unescape);

// The raw text between the tags of an element that holds nothing but text, as the reader
// would give it in one piece (empty for an empty-element tag); nothing for anything else.
[[nodiscard]] std::optional<std::string_view> simple_text_bytes(std::string_view element) noexcept;
// Whether `element` has child elements, asked of a reader (simple_text_bytes has said no).
[[nodiscard]] bool reads_child_elements(std::string_view element) noexcept;

// An empty-element tag written back from its content, as the document has it.
[[nodiscard]] std::string serialize_empty(std::string_view content);

// --- filters --------------------------------------------------------------------------------

[[nodiscard]] bool compare(std::string_view subject, path::CompareOp op,
                           const path::FilterValue& value);
// A filter's subject: text that is not UTF-8 counts as empty.
[[nodiscard]] inline std::string_view as_subject(std::string_view text) noexcept {
  return is_plain(text) || xml::is_valid_utf8(text) ? text : std::string_view{};
}
// Whether one item's text passes the comparison of `test` (which has one).
[[nodiscard]] inline bool passes(std::string_view text, const path::FilterTest& test) {
  return compare(as_subject(text), test.op, test.value);
}
// An attribute test (`test` has `attr`) on a start tag's attributes: an absent attribute fails
// it, and so does one that is not UTF-8 when there is a comparison.
template <bool Scoped>
[[nodiscard]] bool attr_filter_holds(TagAttributes& attrs, const path::FilterTest& test);

// What is known of a filter, or of one of its tests.
enum class Verdict : uint8_t { Open, Holds, Fails };

// The verdict of the subtree at filter.nodes[node] from the verdicts of its tests, as far as
// they are known: `test(j)` gives test j's, and is asked only where it can still matter.
template <class TestVerdict>
[[nodiscard]] Verdict evaluate(const path::Filter& filter, TestVerdict& test, uint32_t node = 0) {
  const path::FilterNode& n = filter.nodes[node];
  switch (n.kind) {
    case path::FilterNode::Kind::Test: return test(n.test);
    case path::FilterNode::Kind::Not: {
      const Verdict v = evaluate(filter, test, node + 1);
      return v == Verdict::Open ? v : v == Verdict::Holds ? Verdict::Fails : Verdict::Holds;
    }
    case path::FilterNode::Kind::And:
    case path::FilterNode::Kind::Or: break;
  }
  // An And fails with its first failing operand, an Or holds with its first holding one.
  const Verdict decisive = n.kind == path::FilterNode::Kind::And ? Verdict::Fails : Verdict::Holds;
  Verdict out = decisive == Verdict::Fails ? Verdict::Holds : Verdict::Fails;
  for (uint32_t c = node + 1; c < node + n.size; c += filter.nodes[c].size) {
    const Verdict v = evaluate(filter, test, c);
    if (v == decisive) return v;
    if (v == Verdict::Open) out = v;
  }
  return out;
}

}  // namespace varnex::engine
