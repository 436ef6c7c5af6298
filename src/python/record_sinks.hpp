// Where records go once their fields are answered: rows (dicts) or the columns of a table.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "engine/item.hpp"
#include "python/columns.hpp"
#include "python/field_values.hpp"
#include "python/locate.hpp"
#include "python/module_state.hpp"
#include "python/plan.hpp"
#include "python/ref.hpp"

namespace varnex::python {

enum class Added : uint8_t {
  Ok,
  Failed,     // an error is set; the pass ends
  Malformed,  // ValueError set for a record on_error decides about; nothing of it was kept
};

// Takes one record at a time, with the lock held: its answers are one item sequence per
// field, spans relative to the record's bytes.
class RecordSink {
 public:
  [[nodiscard]] virtual Added add(std::vector<engine::Items>& answers, const Record& record) = 0;
  // A guess at how many records there are in all, once some have come.
  virtual void expect(size_t /*rows*/) {}
  // Whether no more records are wanted.
  [[nodiscard]] virtual bool full() const { return false; }

 protected:
  RecordSink() = default;
  RecordSink(const RecordSink&) = default;
  RecordSink& operator=(const RecordSink&) = default;
  ~RecordSink() = default;
};

// One dict per record, a key per field: None, a value, or a list of values.
class RowSink final : public RecordSink {
 public:
  // Both sinks are made alike; a row sink needs nothing of the module's state.
  RowSink(const RecordPlan& plan, const Locator& locator, const ModuleState& state);
  [[nodiscard]] Added add(std::vector<engine::Items>& answers, const Record& record) override;
  // Returns a new reference to the list of rows (the sink is spent), or NULL.
  [[nodiscard]] Ref finish() { return std::move(rows_); }
  // The rows so far, the sink going on with a new list; NULL with an exception set.
  [[nodiscard]] Ref take();

 private:
  [[nodiscard]] Ref value(const FieldPlan& field, const engine::Items& items, const Record& record,
                          Added& outcome);

  const RecordPlan& plan_;
  FieldReader reader_;
  Ref rows_;
};

// Arrow columns, a batch at a time: a batch is closed when a text column's 32-bit offsets
// would run out, so every batch has the one schema the plan gives.
// The limits of a stream's batches, (rows, bytes of markup) as Python gives them, each at
// least 1: false with an exception set otherwise.
[[nodiscard]] bool read_batch_limits(PyObject* pair, size_t& rows, size_t& bytes) noexcept;

class ColumnSink final : public RecordSink {
 public:
  // The columns are handed over as `state`'s ColumnArrays.
  ColumnSink(const RecordPlan& plan, const Locator& locator, const ModuleState& state);
  [[nodiscard]] Added add(std::vector<engine::Items>& answers, const Record& record) override;
  void expect(size_t rows) override;
  // Closes the batch being built (none when it is empty) into the list of batches.
  [[nodiscard]] bool flush();
  // A batch is closed once it holds `rows` records, or records of `bytes` bytes of markup.
  void limit(size_t rows, size_t bytes) noexcept {
    max_rows_ = rows;
    max_bytes_ = bytes;
  }
  // The batches closed so far, as finish() gives them, the sink going on with a new list;
  // NULL with an exception set.
  [[nodiscard]] Ref take();
  // Hands each batch, once closed, to `callable` as (a list of that one batch, the offset in the
  // document its last record ends at) instead of keeping it; an exception it raises ends the
  // pass.
  void hand_to(PyObject* callable) { on_flush_ = Ref::borrow(callable); }
  // Returns a new reference to the list of batches, each (rows, a list of one
  // ValueColumn::finish tuple per field); or NULL with an exception set.
  [[nodiscard]] Ref finish();

 private:
  enum class Fill : uint8_t { Ok, Failed, Malformed, Full };
  [[nodiscard]] Fill fill(std::vector<engine::Items>& answers, const Record& record);
  [[nodiscard]] Fill fill_field(const FieldPlan& field, Column& column, const engine::Items& items,
                                const Record& record);
  void rollback() noexcept;  // to rows_ rows

  const RecordPlan& plan_;
  const Locator& locator_;
  FieldReader reader_;
  std::vector<Column> columns_;
  size_t rows_ = 0;   // in the batch being built
  size_t bytes_ = 0;  // of the markup of its records
  size_t max_rows_ = static_cast<size_t>(-1);
  size_t max_bytes_ = static_cast<size_t>(-1);
  size_t reached_ = 0;  // where the last record added ends, in the document
  Ref batches_;
  Ref on_flush_;
  Ref arrays_class_;  // held: a stream's sink may outlive its module's state
};

}  // namespace varnex::python
