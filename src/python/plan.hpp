// A table's plan: the record path and each field's program, column type and policies,
// compiled once from what varnex._fields gives and held by Python in a capsule.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "path/program.hpp"
#include "python/ref.hpp"
#include "values/values.hpp"

namespace varnex::python {

class PathArgs;

enum class ValueType : uint8_t {
  String,
  LargeString,
  Dictionary,
  Bool,
  Int,
  UInt,
  Float32,
  Float64,
  Decimal128,
  Date32,
  Date64,
  Timestamp,
};

// The Arrow type of a column's values (of its items, for a list column).
struct ColumnType {
  ValueType value = ValueType::String;
  uint8_t bytes = 8;  // Int, UInt: the width
  int precision = 0;  // Decimal128
  int scale = 0;
  values::TimeUnit unit = values::TimeUnit::Micro;  // Timestamp
  bool large_list = false;                          // list columns: 64-bit offsets
  [[nodiscard]] bool is_text() const noexcept {
    return value == ValueType::String || value == ValueType::LargeString ||
           value == ValueType::Dictionary;
  }
};

enum class OnRepeat : uint8_t { Error, First, Last };
enum class OnInvalid : uint8_t { Error, Null };
enum class OnError : uint8_t { Raise, Skip };

struct FieldPlan {
  Ref name;                  // str
  path::ProgramPtr program;  // the form it runs in inside a record (path::every_match)
  bool is_list = false;      // from the path as written (path::selects_each)
  ColumnType type;
  OnRepeat on_repeat = OnRepeat::Error;
  OnInvalid on_invalid = OnInvalid::Error;
  // Texts that mean no value; without any, an empty text is no value in a typed column.
  std::optional<std::vector<std::string>> null_values;
  std::optional<values::DateFormat> format;
  bool kept_as_text = false;  // a text type with no null values: the text is the value
  Ref maker;  // records(): a Python callable from the native value to the Python one, or None
};

struct RecordPlan {
  path::ProgramPtr record;  // path::each_at_end of the record path
  std::vector<FieldPlan> fields;
  std::vector<const path::Program*> programs;  // the fields' programs, for one pass
  OnError on_error = OnError::Raise;
  bool scoped = false;  // some field reads names in their namespaces: records need their scope
};

// The program of a record path (each_at_end of it, read by `paths`), or null with an exception
// set that names `record_path` (a str or Path, borrowed).
[[nodiscard]] path::ProgramPtr compile_record_path(PyObject* record_path, const PathArgs& paths);

// The plan in a capsule made by _compile_plan (borrowed, valid while the capsule lives), or
// null with TypeError set.
[[nodiscard]] RecordPlan* plan_of(PyObject* capsule) noexcept;

extern PyMethodDef kCompilePlanDef;

}  // namespace varnex::python
