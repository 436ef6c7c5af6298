// A field's matches in one record as typed values, under the field's policies.
#include "python/field_values.hpp"

#include <limits>
#include <optional>
#include <string>

#include "python/messages.hpp"
#include "python/result_text.hpp"

namespace varnex::python {

namespace {

// The type as the messages name it (pyarrow's spelling where it has one).
std::string type_name(const ColumnType& type) {
  switch (type.value) {
    case ValueType::Bool: return "bool";
    case ValueType::Int: return "int" + std::to_string(type.bytes * 8);
    case ValueType::UInt: return "uint" + std::to_string(type.bytes * 8);
    case ValueType::Float32: return "float32";
    case ValueType::Float64: return "float64";
    case ValueType::Decimal128:
      return "decimal128(" + std::to_string(type.precision) + ", " + std::to_string(type.scale) +
             ")";
    case ValueType::Date32: return "date32";
    case ValueType::Date64: return "date64";
    case ValueType::Timestamp: {
      static const char* const kUnits[] = {"s", "ms", "us", "ns"};
      return std::string("timestamp[") + kUnits[static_cast<int>(type.unit)] + "]";
    }
    default: return "string";
  }
}

int64_t int_min(uint8_t bytes) noexcept {
  return bytes >= 8 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (bytes * 8 - 1));
}
int64_t int_max(uint8_t bytes) noexcept {
  return bytes >= 8 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bytes * 8 - 1)) - 1;
}
uint64_t uint_max(uint8_t bytes) noexcept {
  return bytes >= 8 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << (bytes * 8)) - 1;
}

// The typed value of a text that is not null; false when it does not fit the type.
bool parse(const FieldPlan& field, std::string_view text, Native& out) noexcept {
  const ColumnType& type = field.type;
  const values::DateFormat* format = field.format ? &*field.format : nullptr;
  switch (type.value) {
    case ValueType::String:
    case ValueType::LargeString:
    case ValueType::Dictionary: out.text = text; return true;
    case ValueType::Bool:
      if (const auto b = values::parse_bool(text)) return out.whole = *b, true;
      return false;
    case ValueType::Int:
      if (const auto i = values::parse_int(text, int_min(type.bytes), int_max(type.bytes))) {
        return out.whole = *i, true;
      }
      return false;
    case ValueType::UInt:
      if (const auto u = values::parse_uint(text, uint_max(type.bytes)))
        return out.whole = *u, true;
      return false;
    case ValueType::Float32:
      if (const auto f = values::parse_float32(text)) return out.real = *f, true;
      return false;
    case ValueType::Float64:
      if (const auto d = values::parse_float64(text)) return out.real = *d, true;
      return false;
    case ValueType::Decimal128:
      if (const auto d = values::parse_decimal128(text, type.precision, type.scale)) {
        return out.whole = *d, true;
      }
      return false;
    case ValueType::Date32:
    case ValueType::Date64:
      if (const auto days = values::parse_date(text, format)) {
        out.whole = type.value == ValueType::Date32 ? *days : int64_t{*days} * 86'400'000;
        return true;
      }
      return false;
    case ValueType::Timestamp:
      if (const auto t = values::parse_timestamp(text, type.unit, format))
        return out.whole = *t, true;
      return false;
  }
  return false;
}

}  // namespace

size_t FieldReader::pick_repeated(const FieldPlan& field, size_t count,
                                  const Record& record) const {
  if (field.on_repeat == OnRepeat::First) return 0;
  if (field.on_repeat == OnRepeat::Last) return count - 1;
  raise_repeated(count);
  locator_.locate_error(record, field.name.get());
  return kFailed;
}

Read FieldReader::text_of(const FieldPlan& field, const engine::Items& items, size_t i,
                          const Record& record, std::string_view& text) {
  const std::string_view bytes = items.bytes(i, record.bytes);
  const bool is_element = items.kind(i) != engine::ItemKind::Value;
  if (is_element) {
    const auto found = scalar_element_text(bytes, scratch_);
    if (found && !check_utf8(*found)) {
      text = path::trim_unicode_ws(*found);
      return Read::Value;
    }
  }
  // Markup, or a text that is not UTF-8: to_str() decides, by way of a str.
  holder_ = item_str(bytes, is_element, scratch_);
  Py_ssize_t size = 0;
  const char* utf8 = holder_ ? PyUnicode_AsUTF8AndSize(holder_.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    const bool undecodable = PyErr_ExceptionMatches(PyExc_ValueError) != 0;
    locator_.locate_error(record, field.name.get());
    return undecodable ? Read::Malformed : Read::Failed;
  }
  text = std::string_view(utf8, static_cast<size_t>(size));
  return Read::Value;
}

Read FieldReader::invalid(const FieldPlan& field, std::string_view text, const Record& record) {
  if (field.on_invalid == OnInvalid::Null) return Read::Null;
  Ref quoted = decode_lossy(text);
  const std::string name = type_name(field.type);
  if (quoted) {
    raise_invalid_value(quoted.get(), name.c_str());
    locator_.locate_error(record, field.name.get());
  }
  return Read::Failed;
}

Read FieldReader::typed(const FieldPlan& field, std::string_view text, const Record& record,
                        Native& out) {
  if (field.null_values) {
    for (const std::string& null : *field.null_values) {
      if (text == null) return Read::Null;
    }
  } else if (text.empty() && !field.type.is_text()) {
    return Read::Null;
  }
  if (parse(field, text, out)) return Read::Value;
  return invalid(field, text, record);
}

Ref FieldReader::to_python(const FieldPlan& field, const Native& value) {
  Ref raw;
  switch (field.type.value) {
    case ValueType::String:
    case ValueType::LargeString:
    case ValueType::Dictionary:
      return Ref::steal(PyUnicode_FromStringAndSize(value.text.data(),
                                                    static_cast<Py_ssize_t>(value.text.size())));
    case ValueType::Bool: return Ref::borrow(value.whole != 0 ? Py_True : Py_False);
    case ValueType::UInt:
      return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value.whole)));
    case ValueType::Int:
      return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value.whole)));
    case ValueType::Float32:
    case ValueType::Float64: return Ref::steal(PyFloat_FromDouble(value.real));
    case ValueType::Decimal128: {
      const std::string text = values::format_decimal128(value.whole, field.type.scale);
      raw = Ref::steal(
          PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      break;
    }
    default:  // dates and moments: a count of days or of a time unit
      raw = Ref::steal(PyLong_FromLongLong(static_cast<long long>(value.whole)));
      break;
  }
  if (!raw || field.maker.get() == Py_None) return raw;
  return Ref::steal(PyObject_CallFunctionObjArgs(field.maker.get(), raw.get(), nullptr));
}

}  // namespace varnex::python
