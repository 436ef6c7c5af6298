// records() and table_raw(): one pass finds the records, and one multi-path
// pass over each record's bytes answers all of its fields.
#include "python/records.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/engine.hpp"
#include "path/number.hpp"
#include "python/args.hpp"
#include "python/columns.hpp"
#include "python/errors.hpp"
#include "python/path_object.hpp"
#include "python/py_item.hpp"
#include "python/query.hpp"
#include "python/result.hpp"
#include "python/result_text.hpp"
#include "python/source.hpp"
#include "python/unlocked.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

constexpr const char* kNotElements =
    "record_path must select elements, not attribute values, texts or aggregates";
constexpr const char* kBadPath = "path must be str or varnex.Path";
constexpr const char* kBadName = "field names must be str";
constexpr const char* kBadPair = "fields.items() must give (name, path) pairs";

// ---- compiling -------------------------------------------------------------

// Puts "<prefix>: " before the message of the ValueError or TypeError being
// raised; other exceptions (a path that cannot be UTF-8, no memory) are left
// as they are. `make_prefix` runs with no exception set.
template <class MakePrefix>
void prefix_error(MakePrefix&& make_prefix) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_ValueError && type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal(traceback);
  Ref message = Ref::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
  if (!message) return;
  Ref prefix = make_prefix();
  if (!prefix) return;
  PyErr_Format(owned_type.get(), "%U: %U", prefix.get(), message.get());
}

void name_the_path(const char* format, PyObject* arg) noexcept {
  prefix_error([&] {
    return Ref::steal(arg != nullptr ? PyUnicode_FromFormat(format, arg)
                                     : PyUnicode_FromString(format));
  });
}

// A text that cannot be converted: the error says where it is.
void name_the_text(PyObject* field, size_t record) noexcept {
  prefix_error(
      [&] { return Ref::steal(PyUnicode_FromFormat("field %R of record %zu", field, record)); });
}

// The program of a str or Path; null with an exception set.
path::ProgramPtr program_of(PyObject* path) {
  if (PyUnicode_Check(path)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(path, &size);
    if (data == nullptr) return nullptr;
    return compile_path(std::string_view(data, static_cast<size_t>(size)));
  }
  Ref list = Ref::steal(PyList_New(1));
  if (!list) return nullptr;
  PyList_SetItem(list.get(), 0, Py_NewRef(path));  // steals the new reference
  std::vector<path::ProgramPtr> programs;
  if (!collect_programs(list.get(), programs)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, kBadPath);
    }
    return nullptr;
  }
  return programs.front();
}

bool yields_values(const path::Program& program) {
  if (program.steps.back().kind != path::StepKind::Element) return true;
  for (const path::Modifier m : program.modifiers) {
    switch (m) {
      case path::Modifier::Count:
      case path::Modifier::Sum:
      case path::Modifier::Avg:
      case path::Modifier::Min:
      case path::Modifier::Max:
        return true;
      default:
        break;
    }
  }
  return false;
}

// A final `.#` selects each match here, as it does before further steps:
// a record path is the first half of every field's path, and a field's
// count is written `|@count`.
path::ProgramPtr each_at_end(path::ProgramPtr program) {
  if (program->steps.back().selector.kind != path::SelectorKind::Count) return program;
  auto each = std::make_shared<path::Program>(*program);
  each->steps.back().selector.kind = path::SelectorKind::Each;
  return each;
}

path::ProgramPtr record_program(PyObject* record_path) {
  path::ProgramPtr program = program_of(record_path);
  if (!program) {
    name_the_path("record_path", nullptr);
    return nullptr;
  }
  if (yields_values(*program)) {
    PyErr_Format(PyExc_ValueError, "%s: %R", kNotElements, record_path);
    return nullptr;
  }
  return each_at_end(std::move(program));
}

// Whether a field's path selects each of several matches, whatever one
// record holds: such a field is a list column from the start.
bool selects_each(const path::Program& program) {
  for (const path::Modifier m : program.modifiers) {
    switch (m) {
      case path::Modifier::First:
      case path::Modifier::Last:
      case path::Modifier::Count:
      case path::Modifier::Sum:
      case path::Modifier::Avg:
      case path::Modifier::Min:
      case path::Modifier::Max:
        return false;
      default:
        break;
    }
  }
  for (const path::Step& step : program.steps) {
    if (step.kind != path::StepKind::Element) continue;
    const auto k = step.selector.kind;
    if (step.descendant || k == path::SelectorKind::Each || k == path::SelectorKind::FilterAll) {
      return true;
    }
  }
  return false;
}

struct Fields {
  std::vector<Ref> names;
  std::vector<path::ProgramPtr> programs;
  std::vector<const path::Program*> views;
};

// Reads the fields mapping in its own order; false with an exception set.
bool read_fields(PyObject* mapping, Fields& out) {
  if (!PyDict_Check(mapping) && !PyObject_HasAttrString(mapping, "items")) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(mapping)));
    if (qualname) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'fields': '%U' object is not a mapping of names to paths",
                   qualname.get());
    }
    return false;
  }
  Ref items = Ref::steal(PyMapping_Items(mapping));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed
    if (pair == nullptr || !PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, kBadPair);
      return false;
    }
    PyObject* name = PyTuple_GetItem(pair, 0);
    if (!PyUnicode_Check(name)) {
      PyErr_SetString(PyExc_TypeError, kBadName);
      return false;
    }
    path::ProgramPtr program = program_of(PyTuple_GetItem(pair, 1));
    if (!program) {
      name_the_path("field %R", name);
      return false;
    }
    program = each_at_end(std::move(program));
    out.names.push_back(Ref::borrow(name));
    out.views.push_back(program.get());
    out.programs.push_back(std::move(program));
  }
  return true;
}

// ---- the pass ------------------------------------------------------------

// Sets the ambiguity error of the first field that fails alone on `element`.
void raise_field_error(const Fields& fields, std::string_view element,
                       const engine::EngineError& error) {
  std::vector<engine::Items> scratch;
  for (size_t i = 0; i < fields.views.size(); ++i) {
    if (auto own = engine::run_many_within({fields.views[i]}, element, scratch)) {
      engine_err_to_py(*own);
      name_the_path("field %R", fields.names[i].get());
      return;
    }
  }
  engine_err_to_py(error);
}

// The records found in `doc`, as views: into `doc` for spans, into `copies`
// for owned markup. The engine's items are dropped before the fields are
// read, so the columns grow into memory they have given back.
bool find_records(std::string_view doc, bool immutable, const path::Program& record,
                  std::vector<std::string_view>& elements, std::vector<std::string>& copies) {
  engine::Items found;
  std::optional<engine::EngineError> error;
  {
    const UnlockedPass unlocked(immutable, doc.size());
    error = engine::run_with(record, doc, true, found);
  }
  if (error) {
    engine_err_to_py(*error);
    name_the_path("record_path", nullptr);
    return false;
  }
  size_t owned = 0;
  for (size_t i = 0; i < found.size(); ++i) owned += found.kind(i) == engine::ItemKind::Markup;
  copies.reserve(owned);  // no reallocation below: the views into it stay valid
  elements.reserve(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    if (found.is_span(i)) {
      elements.push_back(found.bytes(i, doc));
    } else if (found.kind(i) == engine::ItemKind::Markup) {
      copies.emplace_back(found.owned(i));
      elements.push_back(copies.back());
    }
  }
  return true;
}

// Records whose fields are answered in one stretch without the lock, before
// the sink turns them into Python objects with it: about this many bytes, and
// no more records than this (their answers are all held at once).
constexpr size_t kBatchBytes = 256 * 1024;
constexpr size_t kBatchRecords = 4096;

// Runs the record program over `doc` (`immutable` as its source says), then
// the fields over every record, in document order; `sink.add(answers,
// element)` takes each record's items, one sequence per field. False with an
// exception set.
template <class Sink>
bool for_each_record(std::string_view doc, bool immutable, const path::Program& record,
                     const Fields& fields, Sink&& sink) {
  std::vector<std::string_view> elements;
  std::vector<std::string> copies;
  if (!find_records(doc, immutable, record, elements, copies)) return false;
  if (!sink.start(elements.size())) return false;
  std::vector<std::vector<engine::Items>> batch;  // reused: inner sequences keep their capacity
  // Field elements are spans of their record, which outlives the batch.
  engine::WithinPass pass(fields.views, true);
  for (size_t first = 0; first < elements.size();) {
    size_t end = first;
    size_t bytes = 0;
    while (end < elements.size() && end - first < kBatchRecords && bytes < kBatchBytes) {
      bytes += elements[end++].size();
    }
    if (batch.size() < end - first) batch.resize(end - first);
    std::optional<engine::EngineError> error;
    size_t at = first;
    {
      const UnlockedPass unlocked(immutable, bytes);
      for (; at < end; ++at) {
        error = pass.run(elements[at], batch[at - first]);
        if (error) break;
      }
    }
    if (error) {
      raise_field_error(fields, elements[at], *error);
      return false;
    }
    for (size_t i = first; i < end; ++i) {
      if (!sink.add(batch[i - first], elements[i])) return false;
    }
    first = end;
  }
  return true;
}

// Hands `each` every item's to_str() text in turn, as a str (a new reference).
template <class Each>
bool for_each_text(const engine::Items& items, std::string_view element, Each&& each) {
  for (size_t i = 0; i < items.size(); ++i) {
    Ref text = item_str(items.bytes(i, element), items.kind(i) != engine::ItemKind::Value);
    if (!text || !each(text)) return false;
  }
  return true;
}

// What to_str() gives an item, as UTF-8 bytes, when no str is needed to
// know it: a view into `bytes` or `scratch`. Nothing for an element with
// child elements or text that is not UTF-8, which item_str() then decides.
std::optional<std::string_view> utf8_text(std::string_view bytes, bool is_element,
                                          std::string& scratch) {
  std::optional<std::string_view> text = bytes;
  if (is_element) {
    if (const auto leaf = plain_leaf_text(bytes)) return path::trim_unicode_ws(leaf->text);
    text = scalar_element_text(bytes, scratch);
  }
  if (!text || check_utf8(*text)) return std::nullopt;
  return path::trim_unicode_ws(*text);
}

// Rows: one dict per record, a field's value None, a str or a list of str.
class RowSink {
 public:
  explicit RowSink(const Fields& fields) : fields_(fields) {}

  bool start(size_t count) {
    rows_ = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    return static_cast<bool>(rows_);
  }

  bool add(std::vector<engine::Items>& answers, std::string_view element) {
    Ref row = Ref::steal(PyDict_New());
    if (!row) return false;
    for (size_t f = 0; f < answers.size(); ++f) {
      Ref value = field_value(answers[f], element);
      if (!value) {
        name_the_text(fields_.names[f].get(), next_);
        return false;
      }
      if (PyDict_SetItem(row.get(), fields_.names[f].get(), value.get()) < 0) return false;
    }
    PyList_SetItem(rows_.get(), static_cast<Py_ssize_t>(next_++), row.release());  // steals
    return true;
  }

  Ref finish() { return std::move(rows_); }

 private:
  Ref field_value(engine::Items& items, std::string_view element) {
    if (items.empty()) return Ref::borrow(Py_None);
    if (items.size() == 1) {
      Ref single;
      if (!for_each_text(items, element, [&](Ref& text) {
            single = std::move(text);
            return true;
          })) {
        return {};
      }
      return single;
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    if (!for_each_text(items, element,
                       [&](Ref& text) { return PyList_Append(list.get(), text.get()) == 0; })) {
      return {};
    }
    return list;
  }

  const Fields& fields_;
  Ref rows_;
  size_t next_ = 0;
};

// Columns: Arrow buffers per field, no Python object per row.
class ColumnSink {
 public:
  explicit ColumnSink(const Fields& fields) : fields_(fields) {
    columns_.reserve(fields.programs.size());
    for (const auto& program : fields.programs) columns_.emplace_back(selects_each(*program));
  }

  bool start(size_t count) {
    rows_ = count;
    for (TextColumn& column : columns_) column.reserve(count);
    return true;
  }

  bool add(std::vector<engine::Items>& answers, std::string_view element) {
    if (++added_ == kSampleRows && rows_ > 4 * kSampleRows) {
      for (TextColumn& column : columns_) column.reserve(rows_);
    }
    for (size_t f = 0; f < answers.size(); ++f) {
      TextColumn& column = columns_[f];
      engine::Items& items = answers[f];
      if (items.empty()) {
        column.add_null();
        continue;
      }
      column.begin_row(items.size());
      for (size_t i = 0; i < items.size(); ++i) {
        if (!add_text(column, items.bytes(i, element), items.kind(i) != engine::ItemKind::Value)) {
          name_the_text(fields_.names[f].get(), added_ - 1);
          return false;
        }
      }
    }
    return true;
  }

  Ref finish() {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns_.size())));
    if (!list) return {};
    for (size_t f = 0; f < columns_.size(); ++f) {
      Ref column = columns_[f].finish(fields_.names[f].get());
      if (!column) return {};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(f), column.release());  // steals
    }
    return list;
  }

 private:
  // Rows read before the data buffers are sized for all of them.
  static constexpr size_t kSampleRows = 256;

  // Most texts go in as the bytes they are; the rest by way of a str.
  bool add_text(TextColumn& column, std::string_view bytes, bool is_element) {
    if (const auto text = utf8_text(bytes, is_element, scratch_)) {
      column.add_text(*text);
      return true;
    }
    Ref str = item_str(bytes, is_element, scratch_);
    if (!str) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
    if (utf8 == nullptr) return false;
    column.add_text(std::string_view(utf8, static_cast<size_t>(size)));
    return true;
  }

  const Fields& fields_;
  std::vector<TextColumn> columns_;
  size_t rows_ = 0;
  size_t added_ = 0;
  std::string scratch_;  // a resolved text, while it is added
};

// ---- module functions ----------------------------------------------------

constexpr Param kRecordsParams[] = {
    {"data", ParamKind::Any}, {"record_path", ParamKind::Any}, {"fields", ParamKind::Any}};
constexpr Signature kRecordsSignature{"records()", kRecordsParams};
constexpr Signature kTableRawSignature{"table_raw()", kRecordsParams};

template <class Sink>
PyObject* run_records(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[3];
    if (!bind_args(signature, args, nargs, kwnames, bound)) return nullptr;
    // Path errors come before any complaint about the data.
    const path::ProgramPtr record = record_program(bound[1].object);
    if (!record) return nullptr;
    Fields fields;
    if (!read_fields(bound[2].object, fields)) return nullptr;
    SourceBytes doc;
    if (!doc.acquire(bound[0].object) || !doc.decode_document()) return nullptr;
    Sink sink(fields);
    if (!for_each_record(doc.bytes(), doc.is_immutable(), *record, fields, sink)) return nullptr;
    doc.release();
    return sink.finish().release();
  });
}

PyObject* py_records(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return run_records<RowSink>(kRecordsSignature, args, nargs, kwnames);
}

PyObject* py_table_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return run_records<ColumnSink>(kTableRawSignature, args, nargs, kwnames);
}

template <auto Fn>
PyCFunction as_cfunction() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

}  // namespace

PyMethodDef kRecordsDef = {"records", as_cfunction<py_records>(), METH_FASTCALL | METH_KEYWORDS,
                           "records(data, record_path, fields)\n--\n\n"};
PyMethodDef kTableRawDef = {"table_raw", as_cfunction<py_table_raw>(),
                            METH_FASTCALL | METH_KEYWORDS,
                            "table_raw(data, record_path, fields)\n--\n\n"};

}  // namespace varnex::python
