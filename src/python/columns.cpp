// Arrow-layout columns: validity bits, values, offsets and UTF-8 data in bytearrays.
#include "python/columns.hpp"

#include <new>

namespace varnex::python {

namespace {

// Bytes per value in the values buffer (0: a bitmap).
size_t value_width(const ColumnType& type) noexcept {
  switch (type.value) {
    case ValueType::String:
    case ValueType::Dictionary:
    case ValueType::Date32:
    case ValueType::Float32: return 4;
    case ValueType::LargeString:
    case ValueType::Date64:
    case ValueType::Timestamp:
    case ValueType::Float64: return 8;
    case ValueType::Int:
    case ValueType::UInt: return type.bytes;
    case ValueType::Decimal128: return 16;
    case ValueType::Bool: return 0;
  }
  return 8;
}

// Returns a new reference to a tuple of the buffers given (new references, None allowed).
Ref buffers_tuple(std::initializer_list<Ref*> buffers) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(buffers.size())));
  if (!tuple) return {};
  Py_ssize_t i = 0;
  for (Ref* buffer : buffers) {
    if (!*buffer) return {};
    PyTuple_SetItem(tuple.get(), i++, buffer->release());  // steals
  }
  return tuple;
}

PyStructSequence_Field kColumnArraysFields[] = {
    {"length", "values (rows, for a list column)"},
    {"nulls", "null values"},
    {"buffers", "the buffers in the order of Arrow's layout (None for no validity bitmap)"},
    {"children", "the child columns (a list column's values)"},
    {"dictionary", "a dictionary column's values, else None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kColumnArraysDesc = {
    "varnex._varnex.ColumnArrays",
    "One column of a batch in Arrow's memory layout.",
    kColumnArraysFields,
    5,
};

Ref column_arrays(PyTypeObject* arrays_class, size_t length, size_t nulls, Ref buffers,
                  Ref children, Ref dictionary) {
  if (!buffers || !children || !dictionary) return {};
  Ref arrays = Ref::steal(PyStructSequence_New(arrays_class));
  Ref length_value = Ref::steal(PyLong_FromSize_t(length));
  Ref nulls_value = Ref::steal(PyLong_FromSize_t(nulls));
  if (!arrays || !length_value || !nulls_value) return {};
  PyObject* items[] = {length_value.release(), nulls_value.release(), buffers.release(),
                       children.release(), dictionary.release()};
  for (Py_ssize_t i = 0; i < 5; ++i) PyStructSequence_SetItem(arrays.get(), i, items[i]);  // steals
  return arrays;
}

}  // namespace

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

void BitBuilder::truncate(size_t count) noexcept {
  if (count >= count_) return;
  count_ = count;
  bytes_.truncate((count + 7) / 8);
  // Bits past the end are set again only by OR: clear them now.
  if (count % 8 != 0) bytes_.data()[count / 8] &= static_cast<char>((1u << (count % 8)) - 1);
}

void BitBuilder::set_bits(size_t count) {
  bytes_.reserve((count + 7) / 8 + 1);
  for (size_t i = 0; i < count / 8; ++i) bytes_.append_value<char>(static_cast<char>(0xFF));
  count_ = count / 8 * 8;
  for (size_t i = count_; i < count; ++i) push(true);
}

size_t BitBuilder::zeros_from(size_t from) const noexcept {
  size_t zeros = 0;
  for (size_t i = from; i < count_; ++i) {
    zeros += ((static_cast<unsigned char>(bytes_.data()[i / 8]) >> (i % 8)) & 1u) == 0;
  }
  return zeros;
}

// Each distinct text once, in the order met; the column's values are indices into them.
struct ValueColumn::Dictionary {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_map<std::string, int32_t, Hash, std::equal_to<>> index;
  ValueColumn texts{ColumnType{}};
};

ValueColumn::ValueColumn(const ColumnType& type) : type_(type) {
  if (type_.value == ValueType::Dictionary) dictionary_ = std::make_unique<Dictionary>();
  start();
}

ValueColumn::~ValueColumn() = default;
ValueColumn::ValueColumn(ValueColumn&&) noexcept = default;
ValueColumn& ValueColumn::operator=(ValueColumn&&) noexcept = default;

void ValueColumn::start() {
  length_ = nulls_ = 0;
  if (type_.value == ValueType::String) values_.append_value<int32_t>(0);
  if (type_.value == ValueType::LargeString) values_.append_value<int64_t>(0);
}

void ValueColumn::add_null() {
  if (!validity_kept_) {
    validity_.set_bits(length_);
    validity_kept_ = true;
  }
  validity_.push(false);
  ++nulls_;
  ++length_;
  switch (type_.value) {
    case ValueType::String: values_.append_value(static_cast<int32_t>(data_.size())); break;
    case ValueType::LargeString: values_.append_value(static_cast<int64_t>(data_.size())); break;
    case ValueType::Bool: bits_.push(false); break;
    default: {
      static constexpr char kZeros[16] = {};
      values_.append(kZeros, value_width(type_));
    }
  }
}

bool ValueColumn::add_text(std::string_view text) {
  switch (type_.value) {
    case ValueType::String:
      if (data_.size() + text.size() > offset_limit()) return false;
      data_.append(text.data(), text.size());
      values_.append_value(static_cast<int32_t>(data_.size()));
      return true;
    case ValueType::LargeString:
      data_.append(text.data(), text.size());
      values_.append_value(static_cast<int64_t>(data_.size()));
      return true;
    default: {  // Dictionary
      auto found = dictionary_->index.find(text);
      int32_t index = 0;
      if (found != dictionary_->index.end()) {
        index = found->second;
      } else {
        index = static_cast<int32_t>(dictionary_->texts.length());
        if (!dictionary_->texts.add(Native{text})) return false;
        dictionary_->index.emplace(std::string(text), index);
      }
      values_.append_value(index);
      return true;
    }
  }
}

bool ValueColumn::add_other(const Native& value) {
  if (type_.is_text()) {
    if (!add_text(value.text)) return false;
  } else {
    switch (type_.value) {
      case ValueType::Bool: bits_.push(value.whole != 0); break;
      case ValueType::Float32: values_.append_value(static_cast<float>(value.real)); break;
      case ValueType::Float64: values_.append_value(value.real); break;
      case ValueType::Decimal128: values_.append_value(value.whole); break;
      case ValueType::Date32: values_.append_value(static_cast<int32_t>(value.whole)); break;
      default: {
        // Integers, Date64 and Timestamp: the low bytes of the number (little-endian).
        const auto wide = static_cast<int64_t>(value.whole);
        values_.append(&wide, value_width(type_));
      }
    }
  }
  if (validity_kept_) validity_.push(true);
  ++length_;
  return true;
}

void ValueColumn::rollback(size_t length) noexcept {
  if (length >= length_) return;
  if (validity_kept_) {
    nulls_ -= validity_.zeros_from(length);
    validity_.truncate(length);
  }
  bits_.truncate(length);
  length_ = length;
  const size_t width = value_width(type_);
  if (type_.value == ValueType::String || type_.value == ValueType::LargeString) {
    // The text of value `length` started where the offsets say.
    const char* at = values_.data() + length * width;
    int64_t end = 0;
    if (width == 4) {
      int32_t narrow = 0;
      std::memcpy(&narrow, at, 4);
      end = narrow;
    } else {
      std::memcpy(&end, at, 8);
    }
    data_.truncate(static_cast<size_t>(end));
    values_.truncate((length + 1) * width);
  } else {
    values_.truncate(length * width);
  }
  // A text a dropped record added to the dictionary stays there, unused, which is allowed.
}

void ValueColumn::reserve(size_t rows) {
  if (validity_kept_) validity_.reserve(rows);
  if (type_.value == ValueType::Bool) bits_.reserve(rows);
  const size_t width = value_width(type_);
  values_.reserve((rows + 1) * width);
  if (length_ == 0 || (type_.value != ValueType::String && type_.value != ValueType::LargeString)) {
    return;
  }
  // A little over the rate so far, so that one more move is unlikely.
  const size_t so_far = data_.size();
  const size_t estimate = so_far / length_ * rows + so_far % length_ * rows / length_;
  data_.reserve(estimate + estimate / 16);
}

Ref ValueColumn::finish(PyTypeObject* arrays_class) {
  const size_t length = length_;
  const size_t nulls = nulls_;
  Ref validity = validity_kept_ ? validity_.finish() : Ref::borrow(Py_None);
  validity_kept_ = false;
  if (validity && nulls == 0) validity = Ref::borrow(Py_None);
  Ref values = type_.value == ValueType::Bool ? bits_.finish() : values_.finish();
  Ref buffers;
  Ref dictionary = Ref::borrow(Py_None);
  if (type_.value == ValueType::String || type_.value == ValueType::LargeString) {
    Ref data = data_.finish();
    buffers = buffers_tuple({&validity, &values, &data});
  } else {
    buffers = buffers_tuple({&validity, &values});
  }
  if (dictionary_) {
    dictionary = dictionary_->texts.finish(arrays_class);
    dictionary_->index.clear();
  }
  start();
  return column_arrays(arrays_class, length, nulls, std::move(buffers), Ref::steal(PyTuple_New(0)),
                       std::move(dictionary));
}

Column::Column(const ColumnType& type, bool is_list)
    : is_list_(is_list), wide_(type.large_list), values_(type) {
  start();
}

void Column::start() {
  rows_ = 0;
  if (!is_list_) return;
  if (wide_) {
    offsets_.append_value<int64_t>(0);
  } else {
    offsets_.append_value<int32_t>(0);
  }
}

bool Column::end_list() {
  const size_t end = values_.length();
  ++rows_;
  if (wide_) {
    offsets_.append_value(static_cast<int64_t>(end));
    return true;
  }
  const bool fits = end <= offset_limit();
  offsets_.append_value(static_cast<int32_t>(fits ? end : 0));
  return fits;
}

void Column::rollback(size_t rows) noexcept {
  if (!is_list_) {
    values_.rollback(rows);
    return;
  }
  if (rows >= rows_) return;
  const size_t width = wide_ ? 8 : 4;
  int64_t end = 0;
  if (wide_) {
    std::memcpy(&end, offsets_.data() + rows * width, 8);
  } else {
    int32_t narrow = 0;
    std::memcpy(&narrow, offsets_.data() + rows * width, 4);
    end = narrow;
  }
  values_.rollback(static_cast<size_t>(end));
  offsets_.truncate((rows + 1) * width);
  rows_ = rows;
}

void Column::reserve(size_t rows) {
  if (!is_list_) {
    values_.reserve(rows);
    return;
  }
  offsets_.reserve((rows + 1) * (wide_ ? 8 : 4));
  if (rows_ > 0) values_.reserve(values_.length() / rows_ * rows + values_.length() % rows_);
}

Ref Column::finish(PyTypeObject* arrays_class) {
  if (!is_list_) return values_.finish(arrays_class);
  const size_t rows = rows_;
  Ref none = Ref::borrow(Py_None);
  Ref offsets = offsets_.finish();
  Ref child = values_.finish(arrays_class);
  Ref children = child ? Ref::steal(PyTuple_Pack(1, child.get())) : Ref();
  start();
  return column_arrays(arrays_class, rows, 0, buffers_tuple({&none, &offsets}), std::move(children),
                       Ref::borrow(Py_None));
}

Ref create_column_arrays_type(PyObject*) noexcept {
  return Ref::steal(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kColumnArraysDesc)));
}

}  // namespace varnex::python
