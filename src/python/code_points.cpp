// Code-point positions in UTF-8 text: stride marks and short walks.
#include "python/code_points.hpp"

#include <cstdint>
#include <cstring>

#include "python/utf8.hpp"

namespace varnex::python {
namespace {

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Bytes taken by the code point with this lead byte (the text is valid).
constexpr size_t sequence_length(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

CodePoints::CodePoints(std::string_view text) : text_(text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  // ASCII text needs no marks.
  size_t i = xml::ascii_prefix(p, n);
  if (i == n) {
    count_ = n;
    return;
  }
  marks_.reserve(n / kStride + 1);
  for (size_t k = 0; k < i; k += kStride) marks_.push_back(k);
  count_ = i;
  for (; i < n; ++i) {
    if (is_continuation(p[i])) continue;
    if (count_ % kStride == 0) marks_.push_back(i);
    ++count_;
  }
}

size_t CodePoints::walk(size_t from, std::ptrdiff_t delta) const noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
  for (; delta > 0; --delta) from += sequence_length(p[from]);
  for (; delta < 0; ++delta) {
    do {
      --from;
    } while (is_continuation(p[from]));
  }
  return from;
}

size_t CodePoints::offset(size_t index) const noexcept {
  if (marks_.empty() || index >= count_) return index >= count_ ? text_.size() : index;
  return walk(marks_[index / kStride], static_cast<std::ptrdiff_t>(index % kStride));
}

std::string_view CodePoints::at(size_t index) const noexcept {
  const size_t from = offset(index);
  return text_.substr(from, sequence_length(static_cast<unsigned char>(text_[from])));
}

std::string CodePoints::pick(size_t start, std::ptrdiff_t step, size_t count) const {
  std::string out;
  if (count == 0) return out;
  if (step == 1) {
    const size_t from = offset(start);
    out.assign(text_.substr(from, offset(start + count) - from));
    return out;
  }
  // Short steps walk from the last pick; long ones jump through the marks.
  const bool jump = marks_.empty() || step > static_cast<std::ptrdiff_t>(kStride) ||
                    step < -static_cast<std::ptrdiff_t>(kStride);
  size_t index = start;
  size_t at_byte = offset(start);
  for (size_t k = 0; k < count; ++k) {
    if (k > 0) {
      index += static_cast<size_t>(step);  // wraps as intended for a negative step
      at_byte = jump ? offset(index) : walk(at_byte, step);
    }
    out.append(text_.data() + at_byte, sequence_length(static_cast<unsigned char>(text_[at_byte])));
  }
  return out;
}

}  // namespace varnex::python
