// What a name's namespace must be, and the caller's prefix map that a path's prefixes mean.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnex::path {

// Bound by every document whether it says so or not.
inline constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

// A name's namespace test: any (a plain name, or "{*}"), one URI ("{uri}"), or none ("{}").
struct Namespace {
  enum class Kind : uint8_t { Any = 0, Uri, None };
  Kind kind = Kind::Any;
  std::string uri;  // Uri

  [[nodiscard]] bool any() const noexcept { return kind == Kind::Any; }
  friend bool operator==(const Namespace&, const Namespace&) = default;
};

// Prefix -> URI, as the caller binds them; "" binds the path's unprefixed element names.
class NamespaceMap {
 public:
  // A later binding of the same prefix replaces the earlier one.
  void bind(std::string_view prefix, std::string_view uri);
  [[nodiscard]] std::optional<std::string_view> find(std::string_view prefix) const noexcept;
  // One text for the whole map, equal for equal maps: part of a compiled path's cache key.
  [[nodiscard]] std::string key() const;
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& bindings() const noexcept {
    return bindings_;
  }

 private:
  std::vector<std::pair<std::string, std::string>> bindings_;  // sorted by prefix
};

}  // namespace varnex::path
