// Located errors: the record's index, its byte offset and its line, worded on failure only.
#include "python/locate.hpp"

#include <algorithm>

#include "python/messages.hpp"

namespace varnex::python {

size_t Locator::offset_of(const Record& record) const noexcept {
  const char* begin = doc_.data();
  if (record.bytes.data() >= begin && record.bytes.data() < begin + doc_.size()) {
    return static_cast<size_t>(record.bytes.data() - begin);
  }
  if (record.exact) return record.offset;
  // A copy (an empty-element tag handed over by a filter): the first one like it from the
  // record before on.
  const size_t found = doc_.find(record.bytes, std::min(record.offset, doc_.size()));
  return found == std::string_view::npos ? record.offset : found;
}

Ref Locator::where(const Record& record, PyObject* field) const {
  const size_t place = offset_of(record);
  const size_t at = std::min(place, doc_.size());
  const size_t from = std::min(skip_, at);
  const auto line =
      line_ + static_cast<size_t>(std::count(doc_.begin() + static_cast<std::ptrdiff_t>(from),
                                             doc_.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  const size_t offset = offset_ + (place - from);
  return record_place_text(field, record.index, offset, line);
}

void Locator::locate_error(const Record& record, PyObject* field) const noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  Ref prefix;
  try {
    prefix = where(record, field);
  } catch (...) {  // no memory to say where: the error itself still goes up
  }
  if (!prefix) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (prefix) prefix_error(prefix.get());
}

void Locator::raise(const Record& record, PyObject* field, Message message) const noexcept {
  python::raise(message);
  locate_error(record, field);
}

}  // namespace varnex::python
