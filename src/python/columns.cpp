// Arrow-layout text columns: validity bits, offsets and UTF-8 data in bytearrays.
#include "python/columns.hpp"

#include <new>

namespace varnex::python {

void ByteBuilder::grow(size_t more, bool exact) {
  size_t capacity = exact ? 0 : capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
  if (capacity < size_ + more) capacity = size_ + more;
  if (!array_) {
    array_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!array_) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
  } else if (PyByteArray_Resize(array_.get(), static_cast<Py_ssize_t>(capacity)) < 0) {
    // Large blocks are reallocated in place where the allocator can.
    PyErr_Clear();
    throw std::bad_alloc();
  }
  data_ = PyByteArray_AsString(array_.get());
  capacity_ = capacity;
}

Ref ByteBuilder::finish() {
  if (!array_) return Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
  if (PyByteArray_Resize(array_.get(), static_cast<Py_ssize_t>(size_)) < 0) return {};
  data_ = nullptr;
  size_ = capacity_ = 0;
  return std::move(array_);
}

uint64_t OffsetBuilder::at(size_t i) noexcept {
  if (wide_) {
    int64_t value = 0;
    std::memcpy(&value, bytes_.data() + i * sizeof value, sizeof value);
    return static_cast<uint64_t>(value);
  }
  int32_t value = 0;
  std::memcpy(&value, bytes_.data() + i * sizeof value, sizeof value);
  return static_cast<uint32_t>(value);
}

void OffsetBuilder::push_wide(uint64_t value) {
  if (!wide_) {
    ByteBuilder wider;
    const size_t n = count();
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<int64_t>(at(i));
      wider.append(&v, sizeof v);
    }
    bytes_ = std::move(wider);
    wide_ = true;
  }
  const auto v = static_cast<int64_t>(value);
  bytes_.append(&v, sizeof v);
}

TextColumn::TextColumn(bool is_list) : is_list_(is_list) {
  row_offsets_.push(0);
  if (is_list_) text_offsets_.push(0);
}

void TextColumn::reserve(size_t rows) {
  validity_.reserve((rows + 7) / 8);
  row_offsets_.reserve(rows + 1);
  if (rows_ == 0) return;
  // A little over the rate so far, so that one more move is unlikely.
  const auto scale = [&](size_t sofar) {
    const size_t estimate = sofar / rows_ * rows + sofar % rows_ * rows / rows_;
    return estimate + estimate / 16;
  };
  data_.reserve(scale(data_.size()));
  if (is_list_) text_offsets_.reserve(scale(texts_) + 1);
}

void TextColumn::push_valid(bool valid) {
  if (rows_ % 8 == 0) {
    const char zero = 0;
    validity_.append(&zero, 1);
  }
  if (valid) validity_.data()[rows_ / 8] |= static_cast<char>(1u << (rows_ % 8));
  ++rows_;
}

void TextColumn::add_null() {
  push_valid(false);
  ++nulls_;
  row_offsets_.push(is_list_ ? texts_ : data_.size());
}

void TextColumn::begin_row(size_t count) {
  if (count > 1 && !is_list_) promote();
  push_valid(true);
  if (is_list_) {
    row_offsets_.push(texts_ + count);
  }
}

void TextColumn::add_text(std::string_view utf8) {
  data_.append(utf8.data(), utf8.size());
  if (is_list_) {
    text_offsets_.push(data_.size());
    ++texts_;
  } else {
    row_offsets_.push(data_.size());
  }
}

void TextColumn::promote() {
  // Each non-null row so far held one text: its end offset closes that text.
  OffsetBuilder lists;
  lists.push(0);
  text_offsets_ = OffsetBuilder();
  text_offsets_.push(0);
  size_t texts = 0;
  for (size_t row = 0; row < rows_; ++row) {
    const bool valid = (static_cast<unsigned char>(validity_.data()[row / 8]) >> (row % 8)) & 1u;
    if (valid) {
      text_offsets_.push(row_offsets_.at(row + 1));
      ++texts;
    }
    lists.push(texts);
  }
  row_offsets_ = std::move(lists);
  texts_ = texts;
  is_list_ = true;
}

Ref TextColumn::finish(PyObject* name) {
  Ref validity = nulls_ > 0 ? validity_.finish() : Ref::borrow(Py_None);
  Ref rows = row_offsets_.finish();
  Ref data = data_.finish();
  Ref texts = is_list_ ? text_offsets_.finish() : Ref::borrow(Py_None);
  if (!validity || !rows || !data || !texts) return {};
  return Ref::steal(Py_BuildValue("(OOnnOOOOOO)", name, is_list_ ? Py_True : Py_False,
                                  static_cast<Py_ssize_t>(rows_), static_cast<Py_ssize_t>(nulls_),
                                  validity.get(), rows.get(),
                                  row_offsets_.wide() ? Py_True : Py_False, data.get(),
                                  texts.get(), text_offsets_.wide() ? Py_True : Py_False));
}

}  // namespace varnex::python
