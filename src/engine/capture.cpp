// Attribute lookup and the written form of empty elements.
#include "engine/internal.hpp"
#include "xml/attributes.hpp"
#include "xml/encoding.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

namespace {

bool is_attr_named(std::string_view key, std::string_view name) {
  const bool qualified = name.find(':') != std::string_view::npos;
  return (qualified ? key : local_name_bytes(key)) == name;
}

std::string_view decoded(std::string_view raw, std::string& scratch) {
  if (!xml::is_valid_utf8(raw)) return raw;
  std::string_view out;
  if (xml::unescape(raw, scratch, &out) != xml::UnescapeStatus::Ok) return raw;
  return out;
}

}  // namespace

std::optional<std::string_view> TagAttributes::find(std::string_view name) {
  xml::AttrItem item;
  if (lookups_++ == 0) {
    // Most tags are asked once: stop at the match.
    xml::Attributes attrs(content_, name_len_, /*with_checks=*/true);
    while (attrs.next(&item)) {
      if (item.error == xml::AttrErrorKind::None && is_attr_named(item.key, name)) {
        return decoded(item.value, scratch_);
      }
    }
    return std::nullopt;
  }
  if (lookups_ == 2) {
    list_.clear();
    xml::Attributes attrs(content_, name_len_, /*with_checks=*/true);
    while (attrs.next(&item)) {
      if (item.error == xml::AttrErrorKind::None) list_.emplace_back(item.key, item.value);
    }
  }
  for (const auto& [key, raw] : list_) {
    if (is_attr_named(key, name)) return decoded(raw, scratch_);
  }
  return std::nullopt;
}

std::optional<std::string> read_attr(const xml::Event& start, std::string_view name) {
  TagAttributes attrs;
  attrs.reset(start.content, start.name_len);
  auto v = attrs.find(name);
  if (!v) return std::nullopt;
  return std::string(*v);
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
