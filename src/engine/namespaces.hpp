// Namespace declarations in scope, and the one place that decides which namespace a name in a
// document is in. The scan, its filters, record fields and fragments all resolve through it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "path/namespaces.hpp"
#include "xml/reader.hpp"

namespace varnex::engine {

// One declaration: `prefix` ("" for the default namespace) bound to `uri` ("" undeclares the
// default namespace).
struct Binding {
  std::string prefix;
  std::string uri;
  friend bool operator==(const Binding&, const Binding&) = default;
};

// The declarations of the open elements, outermost first. A caller counts how many are in
// force where it stands (the first n): entering an element keeps its parent's count and adds
// the element's own, so leaving one costs nothing.
class NamespaceScope {
 public:
  void clear() noexcept {
    bindings_.clear();
    ++version_;
    searched_ = {};
  }
  // A new pass: what is in force is said again by seed() before any use, which may then keep
  // the bindings it finds (clear() drops them).
  void restart() noexcept {
    ++version_;
    searched_ = {};
  }
  // Declarations made outside the input (a fragment's ancestors), before anything else.
  void seed(std::span<const Binding> outer);
  // Drops what lies past the first `keep`, then adds the declarations of the start tag
  // `content` (its name the first `name_len` bytes); returns the count now in force.
  uint32_t enter(uint32_t keep, std::string_view content, size_t name_len) {
    // Most tags drop nothing and have no room for a declaration (` xmlns=""` at least).
    if (keep == bindings_.size() && content.size() < name_len + kShortestDeclaration) [[likely]] {
      return keep;
    }
    return enter_tag(keep, content, name_len);
  }
  [[nodiscard]] uint32_t size() const noexcept { return static_cast<uint32_t>(bindings_.size()); }

  // Whether the element or attribute written `qname` in the tag `content` (name first,
  // `name_len` bytes) is in namespace `ns`, with the first `in_force` bindings around it. An
  // unprefixed attribute is in no namespace; a prefix nobody declares is in none that matches.
  [[nodiscard]] bool element_in(const path::Namespace& ns, std::string_view qname,
                                std::string_view content, size_t name_len, uint32_t in_force) const;
  [[nodiscard]] bool attribute_in(const path::Namespace& ns, std::string_view key,
                                  std::string_view content, size_t name_len,
                                  uint32_t in_force) const;
  // element_in for an element written with `prefix` ("" for none) and a namespace other than
  // any: the usual case (a tag that declares nothing, under declarations already met) in line.
  [[nodiscard]] bool prefixed_in(const path::Namespace& ns, std::string_view prefix,
                                 std::string_view content, size_t name_len,
                                 uint32_t in_force) const {
    if (content.size() < name_len + kShortestDeclaration || !declares_any(content, name_len))
        [[likely]] {
      for (const Known& k : known_) {
        if (k.ns == &ns && k.version == version_ && k.in_force == in_force && k.prefix == prefix) {
          return k.in;
        }
      }
    }
    return in(ns, prefix, content, name_len, in_force);
  }

  // What a found element's ancestors declare, set by the scan as it hands the element on.
  void mark(uint32_t in_force) noexcept { marked_ = in_force; }
  [[nodiscard]] std::span<const Binding> marked() const noexcept {
    return std::span<const Binding>(bindings_).first(std::min<size_t>(marked_, bindings_.size()));
  }

 private:
  static constexpr size_t kShortestDeclaration = 9;  // ` xmlns=""`
  uint32_t enter_tag(uint32_t keep, std::string_view content, size_t name_len);
  [[nodiscard]] bool in(const path::Namespace& ns, std::string_view prefix,
                        std::string_view content, size_t name_len, uint32_t in_force) const;
  [[nodiscard]] bool declares_any(std::string_view content, size_t name_len) const noexcept;
  // The URI `prefix` is bound to by the first `in_force` bindings, if any.
  [[nodiscard]] std::optional<std::string_view> bound(std::string_view prefix,
                                                      uint32_t in_force) const noexcept;
  // Whether a name written with `prefix`, which resolves to `uri`, is in `ns`.
  [[nodiscard]] static bool matches(const path::Namespace& ns, std::string_view prefix,
                                    std::optional<std::string_view> uri) noexcept;

  std::vector<Binding> bindings_;
  uint64_t version_ = 0;  // changes whenever bindings_ do
  // The last answers of in() for tags that declare nothing: a step's namespace against a
  // prefix is resolved once while the declarations stay as they are, not at every element.
  struct Known {
    const path::Namespace* ns = nullptr;
    uint64_t version = 0;
    uint32_t in_force = 0;
    bool in = false;
    std::string prefix;
  };
  mutable std::array<Known, 4> known_;
  mutable uint32_t next_known_ = 0;
  mutable std::string_view searched_;  // the tag declares_any() read last, and its answer
  mutable bool declares_ = false;
  uint32_t marked_ = 0;
  mutable std::string scratch_;  // a declared URI that holds references, resolved
};

// The bytes of the start or empty tag whose name begins `rest` (a view into the document), up
// to its '>' (a '/' before it left out): where its attributes are, in the walk that gives
// names alone.
[[nodiscard]] std::string_view tag_content(std::string_view rest) noexcept;

// The declarations in force where the element starting at `offset` in `doc` stands: those of
// the elements open around it, outermost first.
[[nodiscard]] std::vector<Binding> declarations_at(std::string_view doc, size_t offset);

// declarations_at for one offset after another, in ascending order: the document is read once.
class DeclarationsWalk {
 public:
  explicit DeclarationsWalk(std::string_view doc) noexcept;
  // Valid until the next call.
  [[nodiscard]] std::span<const Binding> at(size_t offset);

 private:
  xml::Reader reader_;
  NamespaceScope scope_;
  std::vector<uint32_t> open_;
  bool ended_ = false;
};

// Every declaration in `doc`, in document order.
[[nodiscard]] std::vector<Binding> declarations(std::string_view doc);

}  // namespace varnex::engine
