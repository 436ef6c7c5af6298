// Where a record lies in its document, and errors that say so.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "python/messages.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// One record the record path selected.
struct Record {
  std::string_view bytes;  // its markup: a view into the document, or into a copy of it
  size_t index = 0;        // among every record selected, counted from 0 in document order
  size_t offset = 0;       // of its '<' in the document, or of the record before it
  bool exact = true;       // false: `offset` is only where to look from
};

// Words where records are, only when an error needs it.
class Locator {
 public:
  explicit Locator(std::string_view doc) noexcept : doc_(doc) {}

  // Words places as those of a longer stream, for a document made of a piece of it: the first
  // `skip` bytes are not the stream's, and the rest begins at its byte `offset`, on `line`.
  void rebind(std::string_view doc, size_t skip, size_t offset, size_t line) noexcept {
    doc_ = doc;
    skip_ = skip;
    offset_ = offset;
    line_ = line;
  }

  // Returns a new reference to "record 3 (byte 120, line 7)", or to "field 'x' of record
  // 3 (…)" when `field` (a str, borrowed) is given; NULL with an exception set.
  [[nodiscard]] Ref where(const Record& record, PyObject* field) const;
  // Puts where() before the message of the ValueError or TypeError being raised.
  void locate_error(const Record& record, PyObject* field) const noexcept;
  // Sets ValueError "<where>: <message>".
  void raise(const Record& record, PyObject* field, Message message) const noexcept;

 private:
  [[nodiscard]] size_t offset_of(const Record& record) const noexcept;

  std::string_view doc_;
  size_t skip_ = 0;
  size_t offset_ = 0;
  size_t line_ = 1;
};

}  // namespace varnex::python
