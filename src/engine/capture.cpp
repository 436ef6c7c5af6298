// Attribute lookup and the written form of empty elements.
#include <cstdint>
#include <cstring>

#include "engine/internal.hpp"
#include "engine/namespaces.hpp"
#include "xml/attributes.hpp"
#include "xml/encoding.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

namespace {

std::string_view decoded(std::string_view raw, std::string& scratch) {
  if (is_plain(raw)) return raw;  // most values
  if (!xml::is_valid_utf8(raw)) return raw;
  std::string_view out;
  if (xml::unescape(raw, scratch, &out) != xml::UnescapeStatus::Ok) return raw;
  return out;
}

// The raw value of the first well-formed attribute whose key `wanted` accepts. Tags repeat
// their attributes in every record: one pass over the tag, no state kept, unless a value
// without quotes makes the quick pass unsure; malformed entries are passed over.
template <class Wanted>
std::optional<std::string_view> first_raw(std::string_view content, size_t name_len,
                                          Wanted&& wanted) {
  std::string_view raw;
  switch (xml::find_attribute(content, name_len, wanted, &raw)) {
    case xml::AttrLookup::Found: return raw;
    case xml::AttrLookup::Absent: return std::nullopt;
    case xml::AttrLookup::Unsure: break;
  }
  xml::Attributes parser(content, name_len, /*with_checks=*/true);
  xml::AttrItem item;
  while (parser.next(&item)) {
    if (item.error == xml::AttrErrorKind::None && wanted(item.key)) return item.value;
  }
  return std::nullopt;
}

}  // namespace

std::string_view attribute_value(std::string_view raw, std::string& scratch) {
  return decoded(raw, scratch);
}

std::optional<std::string_view> TagAttributes::remembered(std::string_view name) {
  const auto raw = lookup(name);
  if (remembered_ < kRemembered) {
    memo_[remembered_++] = Remembered{name, raw.value_or(std::string_view{}), raw.has_value()};
  }
  return raw;
}

std::optional<std::string_view> TagAttributes::lookup(std::string_view name) const {
  // Tags repeat their attributes in every record: one pass over the tag, no state kept. Each
  // lookup reads the tag again; tags are short and most are looked at once.
  const bool prefixed = has_prefix(name);
  return first_raw(
      content_, name_len_, [&](std::string_view key) __attribute__((always_inline)) {
        return is_named(key, name, prefixed);
      });
}

std::optional<std::string_view> TagAttributes::find(std::string_view name) {
  const auto raw = find_raw(name);
  if (!raw) return raw;
  return decoded(*raw, scratch_);
}

std::optional<std::string_view> TagAttributes::lookup_in(std::string_view name,
                                                         const path::Namespace& ns) const {
  const NamespaceScope empty;
  const NamespaceScope& scope = scope_ != nullptr ? *scope_ : empty;
  return first_raw(content_, name_len_, [&](std::string_view key) {
    return local_name_bytes(key) == name &&
           scope.attribute_in(ns, key, content_, name_len_, in_force_);
  });
}

std::optional<std::string_view> TagAttributes::find_in(std::string_view name,
                                                       const path::Namespace& ns) {
  const auto raw = lookup_in(name, ns);
  if (!raw) return raw;
  return decoded(*raw, scratch_);
}

std::string serialize_empty(std::string_view content) {
  std::string out;
  out.reserve(content.size() + 3);
  out += '<';
  out += content;
  out += "/>";
  return out;
}

}  // namespace varnex::engine
