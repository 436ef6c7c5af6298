// Namespace declarations in scope (see namespaces.hpp).
#include "engine/namespaces.hpp"

#include <algorithm>

#include "engine/internal.hpp"
#include "xml/attributes.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

namespace {

constexpr std::string_view kXmlns = "xmlns";

// Whether attribute `key` declares a namespace; then `prefix` is what it declares.
bool declares(std::string_view key, std::string_view& prefix) noexcept {
  if (!key.starts_with(kXmlns)) return false;
  if (key.size() == kXmlns.size()) {
    prefix = {};
    return true;
  }
  if (key[kXmlns.size()] != ':') return false;
  prefix = key.substr(kXmlns.size() + 1);
  return true;
}

// Most tags declare nothing: one search says so.
bool may_declare(std::string_view content, size_t name_len) noexcept {
  return content.substr(std::min(name_len, content.size())).find(kXmlns) != std::string_view::npos;
}

// Each well-formed declaration of the tag, in the order written.
template <class Fn>
void each_declaration(std::string_view content, size_t name_len, Fn&& fn) {
  if (!may_declare(content, name_len)) return;
  xml::Attributes attrs(content, name_len, /*with_checks=*/true);
  xml::AttrItem item;
  std::string_view prefix;
  while (attrs.next(&item)) {
    if (item.error == xml::AttrErrorKind::None && declares(item.key, prefix))
      fn(prefix, item.value);
  }
}

}  // namespace

void NamespaceScope::seed(std::span<const Binding> outer) {
  // A scope reset for the next record of a table keeps its bindings: most records have the
  // same declarations around them, and these are then not copied again.
  if (bindings_.size() >= outer.size() &&
      std::equal(outer.begin(), outer.end(), bindings_.begin())) {
    bindings_.resize(outer.size());
  } else {
    bindings_.assign(outer.begin(), outer.end());
  }
  ++version_;
  searched_ = {};
}

uint32_t NamespaceScope::enter_tag(uint32_t keep, std::string_view content, size_t name_len) {
  if (keep < bindings_.size()) {
    bindings_.resize(keep);
    ++version_;
  }
  if (!declares_any(content, name_len)) return size();
  each_declaration(content, name_len, [&](std::string_view prefix, std::string_view raw) {
    std::string scratch;
    const std::string_view uri = attribute_value(raw, scratch);
    bindings_.push_back(Binding{std::string(prefix), std::string(uri)});
    ++version_;
  });
  return size();
}

bool NamespaceScope::in(const path::Namespace& ns, std::string_view prefix,
                        std::string_view content, size_t name_len, uint32_t in_force) const {
  std::optional<std::string_view> uri;
  if (prefix == "xml") {
    uri = path::kXmlNamespace;
  } else if (prefix == kXmlns) {
    uri = path::kXmlnsNamespace;
  } else if (declares_any(content, name_len)) {
    // The tag's own declarations first (the last one written wins, as a duplicate would be
    // an error anyway), then the innermost in force.
    each_declaration(content, name_len, [&](std::string_view declared, std::string_view raw) {
      if (declared == prefix) uri = attribute_value(raw, scratch_);
    });
    if (!uri) uri = bound(prefix, in_force);
  } else {
    for (const Known& k : known_) {
      if (k.ns == &ns && k.version == version_ && k.in_force == in_force && k.prefix == prefix) {
        return k.in;
      }
    }
    Known& k = known_[next_known_++ % known_.size()];
    k = Known{&ns, version_, in_force, matches(ns, prefix, bound(prefix, in_force)), {}};
    k.prefix.assign(prefix);
    return k.in;
  }
  return matches(ns, prefix, uri);
}

// The element and its attributes are often asked of one tag in a row: searched once.
bool NamespaceScope::declares_any(std::string_view content, size_t name_len) const noexcept {
  if (content.data() != searched_.data() || content.size() != searched_.size()) {
    searched_ = content;
    declares_ = may_declare(content, name_len);
  }
  return declares_;
}

std::optional<std::string_view> NamespaceScope::bound(std::string_view prefix,
                                                      uint32_t in_force) const noexcept {
  for (size_t i = std::min<size_t>(in_force, bindings_.size()); i > 0; --i) {
    if (bindings_[i - 1].prefix == prefix) return bindings_[i - 1].uri;
  }
  return std::nullopt;
}

bool NamespaceScope::matches(const path::Namespace& ns, std::string_view prefix,
                             std::optional<std::string_view> uri) noexcept {
  if (ns.kind == path::Namespace::Kind::None) return prefix.empty() && (!uri || uri->empty());
  return uri && !uri->empty() && *uri == ns.uri;
}

bool NamespaceScope::element_in(const path::Namespace& ns, std::string_view qname,
                                std::string_view content, size_t name_len,
                                uint32_t in_force) const {
  if (ns.any()) return true;
  return prefixed_in(ns, xml::prefix(qname), content, name_len, in_force);
}

bool NamespaceScope::attribute_in(const path::Namespace& ns, std::string_view key,
                                  std::string_view content, size_t name_len,
                                  uint32_t in_force) const {
  if (ns.any()) return true;
  std::string_view declared;
  if (declares(key, declared)) {
    return ns.kind == path::Namespace::Kind::Uri && ns.uri == path::kXmlnsNamespace;
  }
  const std::string_view prefix = xml::prefix(key);
  if (prefix.empty()) return ns.kind == path::Namespace::Kind::None;  // never the default
  return in(ns, prefix, content, name_len, in_force);
}

std::string_view tag_content(std::string_view rest) noexcept {
  size_t i = 0;
  while (i < rest.size() && rest[i] != '>') {
    const char c = rest[i];
    if (c == '"' || c == '\'') {
      const size_t close = rest.find(c, i + 1);
      if (close == std::string_view::npos) return rest;
      i = close;
    }
    ++i;
  }
  size_t end = i;
  if (end > 0 && rest[end - 1] == '/') --end;
  return rest.substr(0, end);
}

DeclarationsWalk::DeclarationsWalk(std::string_view doc) noexcept
    : reader_(doc, xml::Config::query()) {}

std::span<const Binding> DeclarationsWalk::at(size_t offset) {
  while (!ended_ && reader_.buffer_position() < offset) {
    const xml::Event ev = reader_.read_event();
    switch (ev.kind) {
      case xml::EventKind::Start:
        open_.push_back(scope_.enter(open_.empty() ? 0 : open_.back(), ev.content, ev.name_len));
        break;
      case xml::EventKind::End:
        if (!open_.empty()) open_.pop_back();
        break;
      case xml::EventKind::Eof: ended_ = true; break;
      case xml::EventKind::Error: ended_ = ended_ || xml::is_fatal(ev.error); break;
      default: break;
    }
  }
  scope_.mark(open_.empty() ? 0 : open_.back());
  return scope_.marked();
}

std::vector<Binding> declarations_at(std::string_view doc, size_t offset) {
  DeclarationsWalk walk(doc);
  const auto in_force = walk.at(offset);
  return {in_force.begin(), in_force.end()};
}

std::vector<Binding> declarations(std::string_view doc) {
  std::vector<Binding> out;
  xml::Reader reader(doc, xml::Config::query());
  for (;;) {
    const xml::Event ev = reader.read_event();
    if (ev.kind == xml::EventKind::Start || ev.kind == xml::EventKind::Empty) {
      each_declaration(ev.content, ev.name_len, [&](std::string_view prefix, std::string_view raw) {
        std::string scratch;
        out.push_back(Binding{std::string(prefix), std::string(attribute_value(raw, scratch))});
      });
    } else if (ev.kind == xml::EventKind::Eof ||
               (ev.kind == xml::EventKind::Error && xml::is_fatal(ev.error))) {
      return out;
    }
  }
}

}  // namespace varnex::engine
