// One element's markup as a stream of decoded parts, for converters that rebuild it.
#pragma once

#include <string_view>

namespace varnex::engine {

// Receives the parts of an element in document order. Every view is valid only during the
// call. Each member returns false to stop the walk (the receiver failed).
class ElementVisitor {
 public:
  // A start or empty-element tag, its qualified name as written.
  virtual bool start(std::string_view name) = 0;
  // One attribute of the last start, its value decoded as attribute lookups decode it.
  virtual bool attribute(std::string_view name, std::string_view value) = 0;
  // A piece of text or CDATA directly inside the innermost open element, decoded as element
  // text is; pieces that do not decode are dropped, as element text drops them.
  virtual bool text(std::string_view text) = 0;
  // The innermost open element ends.
  virtual bool end() = 0;

 protected:
  ~ElementVisitor() = default;
};

// Walks the first element in `element` and everything inside it. Lenient as the queries are:
// end tags close the innermost element whatever their name, stray ones are ignored, and
// elements still open when the input ends (or the markup breaks off) end there. Returns
// false when the visitor stopped the walk. May throw bad_alloc.
[[nodiscard]] bool walk_element(std::string_view element, ElementVisitor& visitor);

}  // namespace varnex::engine
