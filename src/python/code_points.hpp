// Code-point positions in UTF-8 text, found without decoding the whole text per lookup.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varnex::python {

// An index over valid UTF-8 text: ASCII text is indexed by its bytes; other
// text keeps the byte offset of every kStride-th code point (an eighth of a
// byte per code point), and a lookup walks at most kStride - 1 code points.
class CodePoints {
 public:
  static constexpr size_t kStride = 64;

  // `text` must be valid UTF-8 and outlive this object. May throw bad_alloc.
  explicit CodePoints(std::string_view text);

  [[nodiscard]] std::string_view text() const noexcept { return text_; }
  // Number of code points.
  [[nodiscard]] size_t size() const noexcept { return count_; }
  // Byte offset of code point `index` (`index` == size() gives the text's size).
  [[nodiscard]] size_t offset(size_t index) const noexcept;
  // The bytes of code point `index` < size().
  [[nodiscard]] std::string_view at(size_t index) const noexcept;
  // The code points start, start + step, ... (`count` of them, each inside
  // the text), concatenated. Costs the bytes between the first and the last.
  [[nodiscard]] std::string pick(size_t start, std::ptrdiff_t step, size_t count) const;

 private:
  // Byte offset `delta` code points after (or before, when negative) the
  // code point that starts at byte `from`.
  [[nodiscard]] size_t walk(size_t from, std::ptrdiff_t delta) const noexcept;

  std::string_view text_;
  size_t count_ = 0;
  std::vector<size_t> marks_;  // empty for ASCII text
};

}  // namespace varnex::python
