// Lazy attribute iterator over a start tag's content, with the duplicate check and its recovery rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "xml/reader.hpp"

namespace varnex::xml {

enum class AttrErrorKind : uint8_t {
  None,
  ExpectedEq,     // pos
  Duplicated,     // pos = this key's start, pos2 = the earlier key's start
  UnquotedValue,  // pos
  ExpectedValue,  // pos
  ExpectedQuote,  // pos, quote
};

struct AttrItem {
  AttrErrorKind error = AttrErrorKind::None;
  std::string_view key;    // when error == None
  std::string_view value;  // raw bytes between the quotes
  size_t pos = 0;          // error positions index the tag content (0 = first byte of the name)
  size_t pos2 = 0;
  char quote = 0;
};

class Attributes {
 public:
  // `content` is the event's content (name included); iteration starts after
  // the first `name_len` bytes.
  Attributes(std::string_view content, size_t name_len, bool with_checks = true) noexcept;
  explicit Attributes(const Event& start_or_empty, bool with_checks = true) noexcept
      : Attributes(start_or_empty.content, start_or_empty.name_len, with_checks) {}

  // Returns false when there are no more items.
  [[nodiscard]] bool next(AttrItem* item) noexcept;

 private:
  // Implementation-private state; see attributes.cpp.
  std::string_view content_;
  size_t pos_;
  uint8_t state_ = 0;
  bool checks_;
  // Recorded keys as (start, len); inline storage, heap only when many.
  static constexpr size_t kInlineKeys = 16;
  std::pair<uint32_t, uint32_t> inline_keys_[kInlineKeys];
  size_t key_count_ = 0;
  std::pair<size_t, size_t>* heap_keys_ = nullptr;
  size_t heap_cap_ = 0;

 public:
  ~Attributes();
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
};

}  // namespace varnex::xml
