// Columns of texts built in Arrow's memory layout, each buffer a bytearray from the start.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "python/ref.hpp"

namespace varnex::python {

// A growing byte buffer that is a bytearray all along, so handing it to
// Python copies nothing. Growth throws std::bad_alloc (the boundary's
// MemoryError); the interpreter lock must be held.
class ByteBuilder {
 public:
  void append(const void* bytes, size_t size) {
    if (size > capacity_ - size_) grow(size);
    if (size > 0) std::memcpy(data_ + size_, bytes, size);
    size_ += size;
  }
  // Room for `total` bytes in all, so that growing to it moves nothing.
  void reserve(size_t total) {
    if (total > capacity_) grow(total - size_, true);
  }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] char* data() noexcept { return data_; }
  // The bytearray, trimmed to what was appended; the builder is empty afterwards.
  [[nodiscard]] Ref finish();

 private:
  void grow(size_t more, bool exact = false);

  Ref array_;
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Arrow offsets: 32-bit until a value needs more, then all of them 64-bit.
class OffsetBuilder {
 public:
  void push(uint64_t value) {
    if (!wide_ && value <= kMax32) {
      const auto narrow = static_cast<int32_t>(value);
      bytes_.append(&narrow, sizeof narrow);
      return;
    }
    push_wide(value);
  }
  void reserve(size_t count) {
    bytes_.reserve(count * (wide_ ? sizeof(int64_t) : sizeof(int32_t)));
  }
  [[nodiscard]] bool wide() const noexcept { return wide_; }
  [[nodiscard]] size_t count() const noexcept {
    return bytes_.size() / (wide_ ? sizeof(int64_t) : sizeof(int32_t));
  }
  [[nodiscard]] uint64_t at(size_t i) noexcept;
  [[nodiscard]] Ref finish() { return bytes_.finish(); }

 private:
  static constexpr uint64_t kMax32 = 0x7fffffff;
  void push_wide(uint64_t value);

  ByteBuilder bytes_;
  bool wide_ = false;
};

// One column: a string per row, or a list of strings per row once the field
// is known to repeat. A row with no text is null.
class TextColumn {
 public:
  explicit TextColumn(bool is_list);

  // Room for `rows` rows, and for data (and list items) at the rate of the
  // rows so far; guesses only, for fewer and smaller moves.
  void reserve(size_t rows);

  void add_null();
  // One row: `count` texts handed to add_text() next (count > 0).
  void begin_row(size_t count);
  void add_text(std::string_view utf8);

  // Returns a new reference to the column as a tuple (name, is_list, rows,
  // nulls, validity or None, row offsets, rows wide, data, text offsets or
  // None, texts wide), or NULL with an exception set. Spends the column.
  [[nodiscard]] Ref finish(PyObject* name);

 private:
  void push_valid(bool valid);
  // A string column becomes a list column of one-item lists.
  void promote();

  bool is_list_;
  size_t rows_ = 0;
  size_t nulls_ = 0;
  size_t texts_ = 0;
  ByteBuilder validity_;
  OffsetBuilder row_offsets_;   // into data_ (strings) or into the texts (lists)
  OffsetBuilder text_offsets_;  // lists only: into data_
  ByteBuilder data_;
};

}  // namespace varnex::python
