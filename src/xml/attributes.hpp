// Lazy attribute iterator over a start tag's content, with the duplicate check and its recovery
// rules.
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
  enum class State : uint8_t { Done, Next, SkipValue, SkipDupValue };

  [[nodiscard]] bool resume(size_t* at) noexcept;
  // Index of an earlier recorded key equal to [start, start+len), or records
  // this one and returns npos.
  size_t find_or_record(size_t start, size_t len) noexcept;
  bool grow_heap() noexcept;

  std::string_view content_;
  size_t pos_;
  State state_ = State::Next;
  bool checks_;
  // Recorded keys as (start, len); inline storage, heap (with a hash index,
  // so hostile tags with many attributes stay linear) only when many.
  struct KeyRange {
    size_t start;
    size_t len;
  };
  static constexpr size_t kInlineKeys = 16;
  KeyRange inline_keys_[kInlineKeys];
  size_t key_count_ = 0;
  KeyRange* heap_keys_ = nullptr;
  size_t heap_cap_ = 0;
  size_t* index_ = nullptr;  // heap_cap_ * 2 slots: key number + 1, 0 when free
  bool keys_lost_ = false;   // out of memory: stop checking

 public:
  ~Attributes();
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
};

}  // namespace varnex::xml
