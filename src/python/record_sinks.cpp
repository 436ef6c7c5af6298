// Records as rows and as Arrow columns, each field read under its policies.
#include "python/record_sinks.hpp"

#include <algorithm>
#include <utility>

#include "python/errors.hpp"

namespace varnex::python {

namespace {

Added added(Read read) noexcept {
  return read == Read::Malformed ? Added::Malformed : Added::Failed;
}

}  // namespace

bool read_batch_limits(PyObject* pair, size_t& rows, size_t& bytes) noexcept {
  Py_ssize_t r = 0;
  Py_ssize_t b = 0;
  if (!PyArg_ParseTuple(pair, "nn", &r, &b)) return false;
  if (r < 1 || b < 1) {
    raise(Message::BatchTooSmall);
    return false;
  }
  rows = static_cast<size_t>(r);
  bytes = static_cast<size_t>(b);
  return true;
}

RowSink::RowSink(const RecordPlan& plan, const Locator& locator, const ModuleState&)
    : plan_(plan), reader_(locator), rows_(Ref::steal(PyList_New(0))) {
  if (!rows_) throw std::bad_alloc();
}

Ref RowSink::value(const FieldPlan& field, const engine::Items& items, const Record& record,
                   Added& outcome) {
  Native native;
  if (!field.is_list) {
    const size_t i = reader_.pick(field, items.size(), record);
    if (i == FieldReader::kFailed) return {};
    if (i == FieldReader::kNone) return Ref::borrow(Py_None);
    const Read read = reader_.read(field, items, i, record, native);
    if (read == Read::Null) return Ref::borrow(Py_None);
    if (read != Read::Value) {
      outcome = added(read);
      return {};
    }
    return FieldReader::to_python(field, native);
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (size_t i = 0; i < items.size(); ++i) {
    const Read read = reader_.read(field, items, i, record, native);
    Ref item = read == Read::Null    ? Ref::borrow(Py_None)
               : read == Read::Value ? FieldReader::to_python(field, native)
                                     : Ref();
    if (!item) {
      if (read != Read::Value && read != Read::Null) outcome = added(read);
      return {};
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

Added RowSink::add(std::vector<engine::Items>& answers, const Record& record) {
  Ref row = Ref::steal(PyDict_New());
  if (!row) return Added::Failed;
  for (size_t f = 0; f < answers.size(); ++f) {
    const FieldPlan& field = plan_.fields[f];
    Added outcome = Added::Failed;
    Ref value = this->value(field, answers[f], record, outcome);
    if (!value) return outcome;
    if (PyDict_SetItem(row.get(), field.name.get(), value.get()) < 0) return Added::Failed;
  }
  return PyList_Append(rows_.get(), row.get()) == 0 ? Added::Ok : Added::Failed;
}

Ref RowSink::take() {
  Ref fresh = Ref::steal(PyList_New(0));
  if (!fresh) return {};
  std::swap(fresh, rows_);
  return fresh;
}

ColumnSink::ColumnSink(const RecordPlan& plan, const Locator& locator, const ModuleState& state)
    : plan_(plan),
      locator_(locator),
      reader_(locator),
      batches_(Ref::steal(PyList_New(0))),
      arrays_class_(Ref::borrow(state.object(Class::ColumnArrays))) {
  if (!batches_) throw std::bad_alloc();
  columns_.reserve(plan.fields.size());
  for (const FieldPlan& field : plan.fields) columns_.emplace_back(field.type, field.is_list);
}

ColumnSink::Fill ColumnSink::fill_field(const FieldPlan& field, Column& column,
                                        const engine::Items& items, const Record& record) {
  Native native;
  if (!field.is_list) {
    const size_t i = reader_.pick(field, items.size(), record);
    if (i == FieldReader::kFailed) return Fill::Failed;
    if (i == FieldReader::kNone) {
      column.add_null();
      return Fill::Ok;
    }
    switch (reader_.read(field, items, i, record, native)) {
      case Read::Value: return column.add(native) ? Fill::Ok : Fill::Full;
      case Read::Null: column.add_null(); return Fill::Ok;
      case Read::Malformed: return Fill::Malformed;
      case Read::Failed: return Fill::Failed;
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    switch (reader_.read(field, items, i, record, native)) {
      case Read::Value:
        if (!column.item(native)) return Fill::Full;
        break;
      case Read::Null: column.item_null(); break;
      case Read::Malformed: return Fill::Malformed;
      case Read::Failed: return Fill::Failed;
    }
  }
  return column.end_list() ? Fill::Ok : Fill::Full;
}

ColumnSink::Fill ColumnSink::fill(std::vector<engine::Items>& answers, const Record& record) {
  for (size_t f = 0; f < columns_.size(); ++f) {
    const Fill got = fill_field(plan_.fields[f], columns_[f], answers[f], record);
    if (got != Fill::Ok) {
      rollback();
      return got;
    }
  }
  ++rows_;
  return Fill::Ok;
}

void ColumnSink::rollback() noexcept {
  for (Column& column : columns_) column.rollback(rows_);
}

Added ColumnSink::add(std::vector<engine::Items>& answers, const Record& record) {
  Fill got = fill(answers, record);
  if (got == Fill::Full && rows_ > 0) {
    // This record's texts do not fit the batch: it starts the next one.
    if (!flush()) return Added::Failed;
    got = fill(answers, record);
  }
  switch (got) {
    case Fill::Ok:
      bytes_ += record.bytes.size();
      reached_ = record.offset + record.bytes.size();
      if ((rows_ >= max_rows_ || bytes_ >= max_bytes_) && !flush()) return Added::Failed;
      return Added::Ok;
    case Fill::Malformed: return Added::Malformed;
    case Fill::Failed: return Added::Failed;
    case Fill::Full: break;
  }
  locator_.raise(record, nullptr, Message::ColumnTooLarge);
  return Added::Failed;
}

void ColumnSink::expect(size_t rows) {
  rows = std::min(rows, max_rows_);
  for (Column& column : columns_) column.reserve(rows);
}

bool ColumnSink::flush() {
  if (rows_ == 0) return true;
  Ref batch = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns_.size())));
  if (!batch) return false;
  for (size_t f = 0; f < columns_.size(); ++f) {
    Ref column = columns_[f].finish(reinterpret_cast<PyTypeObject*>(arrays_class_.get()));
    if (!column) return false;
    PyList_SetItem(batch.get(), static_cast<Py_ssize_t>(f), column.release());  // steals
  }
  Ref entry = Ref::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(rows_), batch.get()));
  rows_ = 0;
  bytes_ = 0;
  if (!entry || PyList_Append(batches_.get(), entry.get()) != 0) return false;
  if (!on_flush_) return true;
  Ref made = take();
  if (!made) return false;
  return static_cast<bool>(Ref::steal(
      PyObject_CallFunction(on_flush_.get(), "On", made.get(), static_cast<Py_ssize_t>(reached_))));
}

Ref ColumnSink::take() {
  Ref fresh = Ref::steal(PyList_New(0));
  if (!fresh) return {};
  std::swap(fresh, batches_);
  return fresh;
}

Ref ColumnSink::finish() {
  if (!flush()) return {};
  return std::move(batches_);
}

}  // namespace varnex::python
