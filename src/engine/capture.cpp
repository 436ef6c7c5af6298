// Attribute lookup and the written form of empty elements.
#include "engine/internal.hpp"
#include "xml/attributes.hpp"
#include "xml/encoding.hpp"
#include "xml/unescape.hpp"

namespace varnex::engine {

std::optional<std::string_view> read_attr_view(std::string_view content, size_t name_len,
                                               std::string_view name, std::string& scratch) {
  const bool qualified = name.find(':') != std::string_view::npos;
  xml::Attributes attrs(content, name_len, /*with_checks=*/true);
  xml::AttrItem item;
  while (attrs.next(&item)) {
    if (item.error != xml::AttrErrorKind::None) continue;  // malformed entries are skipped
    if ((qualified ? item.key : local_name_bytes(item.key)) != name) continue;
    const std::string_view raw = item.value;
    if (!xml::is_valid_utf8(raw)) return raw;
    std::string_view out;
    if (xml::unescape(raw, scratch, &out) != xml::UnescapeStatus::Ok) return raw;
    return out;
  }
  return std::nullopt;
}

std::optional<std::string> read_attr(const xml::Event& start, std::string_view name) {
  std::string scratch;
  auto v = read_attr_view(start.content, start.name_len, name, scratch);
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
