// The caller's prefix map.
#include "path/namespaces.hpp"

#include <algorithm>

namespace varnex::path {

void NamespaceMap::bind(std::string_view prefix, std::string_view uri) {
  const auto at = std::lower_bound(bindings_.begin(), bindings_.end(), prefix,
                                   [](const auto& b, std::string_view p) { return b.first < p; });
  if (at != bindings_.end() && at->first == prefix) {
    at->second.assign(uri);
  } else {
    bindings_.emplace(at, std::string(prefix), std::string(uri));
  }
}

std::optional<std::string_view> NamespaceMap::find(std::string_view prefix) const noexcept {
  const auto at = std::lower_bound(bindings_.begin(), bindings_.end(), prefix,
                                   [](const auto& b, std::string_view p) { return b.first < p; });
  if (at == bindings_.end() || at->first != prefix) return std::nullopt;
  return std::string_view(at->second);
}

std::string NamespaceMap::key() const {
  // Lengths first, so no prefix or URI can pass for the end of another.
  std::string out;
  for (const auto& [prefix, uri] : bindings_) {
    out.append(std::to_string(prefix.size())).append(1, ':').append(prefix);
    out.append(std::to_string(uri.size())).append(1, ':').append(uri);
  }
  return out;
}

}  // namespace varnex::path
