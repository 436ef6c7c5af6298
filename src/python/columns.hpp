// Columns of one batch built in Arrow's memory layout, each buffer a bytearray from the start.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "python/plan.hpp"
#include "python/ref.hpp"
#include "values/values.hpp"

namespace varnex::python {

// The most a column's 32-bit offsets may reach in one batch: the range of int32, made
// smaller only by the tests (through _set_offset_limit), to reach the end cheaply.
inline std::atomic<size_t> g_offset_limit{0x7fffffff};
[[nodiscard]] inline size_t offset_limit() noexcept {
  return g_offset_limit.load(std::memory_order_relaxed);
}

// A growing byte buffer that is a bytearray all along, so handing it to Python copies
// nothing. Growth throws std::bad_alloc (the boundary's MemoryError); the interpreter lock
// must be held.
class ByteBuilder {
 public:
  void append(const void* bytes, size_t size) {
    if (size > capacity_ - size_) grow(size);
    if (size > 0) std::memcpy(data_ + size_, bytes, size);
    size_ += size;
  }
  template <class T>
  void append_value(T value) {
    append(&value, sizeof value);
  }
  // Room for `total` bytes in all, so that growing to it moves nothing.
  void reserve(size_t total) {
    if (total > capacity_) grow(total - size_, true);
  }
  void truncate(size_t size) noexcept {
    if (size < size_) size_ = size;
  }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] char* data() noexcept { return data_; }
  [[nodiscard]] const char* data() const noexcept { return data_; }
  // The bytearray, trimmed to what was appended; the builder is empty afterwards.
  [[nodiscard]] Ref finish();

 private:
  void grow(size_t more, bool exact = false);

  Ref array_;
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A bitmap, least significant bit first: validity, or the values of a boolean column.
class BitBuilder {
 public:
  void push(bool bit) {
    if (count_ % 8 == 0) bytes_.append_value<char>(0);
    if (bit) bytes_.data()[count_ / 8] |= static_cast<char>(1u << (count_ % 8));
    ++count_;
  }
  // `count` set bits, into an empty builder.
  void set_bits(size_t count);
  void truncate(size_t count) noexcept;
  void reserve(size_t count) { bytes_.reserve((count + 7) / 8); }
  // Zero bits from `from` to the end.
  [[nodiscard]] size_t zeros_from(size_t from) const noexcept;
  [[nodiscard]] Ref finish() {
    count_ = 0;
    return bytes_.finish();
  }

 private:
  ByteBuilder bytes_;
  size_t count_ = 0;
};

// A converted value on its way into a column: the text of the text types, the number of
// the others (integers, booleans, days and counts of a time unit, unscaled decimals).
struct Native {
  std::string_view text;
  values::Int128 whole = 0;
  double real = 0;
};

// The values of one column, or the items of a list column: validity, then values laid out
// as the type wants. A batch's worth at a time: finish() hands it over and starts anew.
class ValueColumn {
 public:
  explicit ValueColumn(const ColumnType& type);
  ~ValueColumn();
  ValueColumn(ValueColumn&&) noexcept;
  ValueColumn& operator=(ValueColumn&&) noexcept;

  void add_null();
  // False when the text would take 32-bit offsets past their range: nothing is added.
  [[nodiscard]] bool add(const Native& value) {
    if (type_.value != ValueType::String) return add_other(value);
    // The usual column, in line.
    if (data_.size() + value.text.size() > offset_limit()) return false;
    data_.append(value.text.data(), value.text.size());
    values_.append_value(static_cast<int32_t>(data_.size()));
    if (validity_kept_) validity_.push(true);
    ++length_;
    return true;
  }
  [[nodiscard]] size_t length() const noexcept { return length_; }

  // Back to the first `length` values, when a record is dropped half-way; the buffers say
  // where each stood, so nothing is noted on the way.
  void rollback(size_t length) noexcept;

  // Room for `rows` values in all, the data at the rate of those so far; a guess only.
  void reserve(size_t rows);

  // Returns a new reference to a ColumnArrays of `arrays_class` (length, nulls, buffers,
  // children, dictionary): the buffers as the Arrow layout lists them (validity first, None
  // without nulls), no children, and the dictionary's own arrays or None. Or NULL with an
  // exception set.
  [[nodiscard]] Ref finish(PyTypeObject* arrays_class);

 private:
  struct Dictionary;
  void start();
  [[nodiscard]] bool add_other(const Native& value);
  [[nodiscard]] bool add_text(std::string_view text);

  ColumnType type_;
  size_t length_ = 0;
  size_t nulls_ = 0;
  BitBuilder validity_;
  bool validity_kept_ = false;  // from the first null on: until then every value is valid
  BitBuilder bits_;             // Bool
  ByteBuilder values_;          // fixed-width values, text offsets, or dictionary indices
  ByteBuilder data_;            // text bytes
  std::unique_ptr<Dictionary> dictionary_;
};

// One field's column: its values, or lists of them (a list is never null; its items may be).
class Column {
 public:
  Column(const ColumnType& type, bool is_list);

  // A row of one value, or none.
  void add_null() { values_.add_null(); }
  [[nodiscard]] bool add(const Native& value) { return values_.add(value); }
  // A list row: its items through item() and item_null(), then end_list().
  [[nodiscard]] bool item(const Native& value) { return values_.add(value); }
  void item_null() { values_.add_null(); }
  // False when the list offsets would pass their range: the row is then to be rolled back.
  [[nodiscard]] bool end_list();

  // Back to the first `rows` rows.
  void rollback(size_t rows) noexcept;
  [[nodiscard]] size_t rows() const noexcept { return is_list_ ? rows_ : values_.length(); }
  void reserve(size_t rows);
  // The column's arrays as ValueColumn::finish gives them; a list column's values are its
  // child.
  [[nodiscard]] Ref finish(PyTypeObject* arrays_class);

 private:
  void start();

  bool is_list_;
  bool wide_;  // 64-bit list offsets
  size_t rows_ = 0;
  ByteBuilder offsets_;  // lists only
  ValueColumn values_;
};

// Makes the class of the arrays finish() gives, a named tuple, for the module being started.
// Returns a new reference, or an empty Ref with an exception set.
[[nodiscard]] Ref create_column_arrays_type(PyObject* module) noexcept;

}  // namespace varnex::python
