// _records() and _table(): a plan's records over one document, as rows or as Arrow columns.
#include "python/records.hpp"

#include "engine/document.hpp"
#include "python/args.hpp"
#include "python/columns.hpp"
#include "python/errors.hpp"
#include "python/locate.hpp"
#include "python/plan.hpp"
#include "python/record_feed.hpp"
#include "python/record_sinks.hpp"
#include "python/source.hpp"
#include "xml/index.hpp"

namespace varnex::python {
namespace {

constexpr Param kRecordsParams[] = {
    {"data", ParamKind::Any}, {"plan", ParamKind::Any}, {"threads", ParamKind::Any, false, true}};
constexpr Signature kRecordsSignature{"_records()", kRecordsParams};
constexpr Signature kTableSignature{"_table()", kRecordsParams};

// Feeds the records of `doc` (acquired and decoded) to `sink`, then lets the document go:
// nothing the sink made refers to its bytes. False with an exception set.
template <class Sink>
bool feed_all(SourceBytes& doc, const RecordPlan& plan, const Locator& locator, Sink& sink,
              unsigned threads, Skipped& skipped) {
  if (!feed_records(doc.bytes(), doc.is_immutable(), plan, locator, sink, skipped, nullptr,
                    threads)) {
    return false;
  }
  doc.release();
  return true;
}

// (records skipped, the first one's error or None), after `made` when it is given.
PyObject* skipped_tuple(const Skipped& skipped, PyObject* made = nullptr) {
  PyObject* first = skipped.first ? skipped.first.get() : Py_None;
  const auto count = static_cast<Py_ssize_t>(skipped.count);
  return made != nullptr ? Py_BuildValue("(OnO)", made, count, first)
                         : Py_BuildValue("(nO)", count, first);
}

// Returns (what the sink made, records skipped, the first one's error or None).
template <class Sink>
PyObject* run_plan(PyObject* module, const Signature& signature, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[3];
    if (!bind_args(signature, args, nargs, kwnames, bound)) return nullptr;
    const RecordPlan* plan = plan_of(bound[1].object);
    if (plan == nullptr) return nullptr;
    unsigned threads = 1;
    if (!read_threads(bound[2].object, threads)) return nullptr;
    const ModuleState& state = module_state(module);
    const Ref data = open_document(state, bound[0].object);
    if (!data) return nullptr;
    SourceBytes doc;
    if (!doc.acquire(data.get()) || !doc.decode_document()) return nullptr;
    const Locator locator(doc.bytes());
    Sink sink(*plan, locator, state);
    Skipped skipped;
    if (!feed_all(doc, *plan, locator, sink, threads, skipped)) return nullptr;
    const Ref made = sink.finish();
    return made ? skipped_tuple(skipped, made.get()) : nullptr;
  });
}

constexpr Param kTableStreamParams[] = {{"data", ParamKind::Any},
                                        {"plan", ParamKind::Any},
                                        {"limits", ParamKind::Any},
                                        {"on_batch", ParamKind::Any}};
constexpr Signature kTableStreamSignature{"_table_stream()", kTableStreamParams};

// _table() over a document read in place, each batch handed to `on_batch` as soon as it closes
// (see ColumnSink::hand_to) rather than all at the end: the stream of a file that can be mapped.
// Returns (records skipped, the first one's error or None); None, having read nothing, for a
// document that would first be decoded into a copy (the stream decodes it piece by piece).
PyObject* py_table_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(kTableStreamSignature, args, nargs, kwnames, bound)) return nullptr;
    const RecordPlan* plan = plan_of(bound[1].object);
    if (plan == nullptr) return nullptr;
    size_t rows = 0;
    size_t bytes = 0;
    if (!read_batch_limits(bound[2].object, rows, bytes)) return nullptr;
    const ModuleState& state = module_state(module);
    SourceBytes doc;
    if (!doc.acquire(bound[0].object)) return nullptr;
    if (!engine::detect_document_encoding(doc.bytes()).as_is()) Py_RETURN_NONE;
    if (!doc.decode_document()) return nullptr;
    const Locator locator(doc.bytes());
    ColumnSink sink(*plan, locator, state);
    sink.limit(rows, bytes);
    sink.hand_to(bound[3].object);
    Skipped skipped;
    if (!feed_all(doc, *plan, locator, sink, 1, skipped)) return nullptr;
    return sink.finish() ? skipped_tuple(skipped) : nullptr;
  });
}

PyObject* py_records(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return run_plan<RowSink>(module, kRecordsSignature, args, nargs, kwnames);
}

PyObject* py_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return run_plan<ColumnSink>(module, kTableSignature, args, nargs, kwnames);
}

// Sets the offset limit of text and list columns and returns the old one (for the tests).
PyObject* py_set_offset_limit(PyObject*, PyObject* limit) noexcept {
  const Py_ssize_t value = PyLong_AsSsize_t(limit);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  if (value < 1 || value > 0x7fffffff) {
    raise(Message::OffsetLimit);
    return nullptr;
  }
  return PyLong_FromSize_t(g_offset_limit.exchange(static_cast<size_t>(value)));
}

// Pins the classifier of the structural index ("portable", "sse2", "avx2" or "avx512"; one the
// processor lacks falls back to the best it has) and returns the one in use before (for the
// tests and benchmarks, to compare them in one process).
PyObject* py_set_index_path(PyObject*, PyObject* name) noexcept {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr && PyErr_Occurred()) return nullptr;
  xml::detail::IndexPath path{};
  if (text == nullptr ||
      !xml::detail::index_path_named(std::string_view(text, static_cast<size_t>(size)), &path)) {
    raise(Message::IndexPathName);
    return nullptr;
  }
  const std::string_view before =
      xml::detail::kIndexPathNames[static_cast<size_t>(xml::detail::index_path())];
  xml::detail::set_index_path(path);
  return PyUnicode_FromStringAndSize(before.data(), static_cast<Py_ssize_t>(before.size()));
}

}  // namespace

PyMethodDef kSetIndexPathDef = {"_set_index_path", py_set_index_path, METH_O,
                                "_set_index_path(name)\n--\n\n"};

PyMethodDef kSetOffsetLimitDef = {"_set_offset_limit", py_set_offset_limit, METH_O,
                                  "_set_offset_limit(limit)\n--\n\n"};

PyMethodDef kRecordsDef = {"_records", as_cfunction<py_records>(), METH_FASTCALL | METH_KEYWORDS,
                           "_records(data, plan, *, threads=1)\n--\n\n"};
PyMethodDef kTableStreamDef = {"_table_stream", as_cfunction<py_table_stream>(),
                               METH_FASTCALL | METH_KEYWORDS,
                               "_table_stream(data, plan, limits, on_batch)\n--\n\n"};
PyMethodDef kTableDef = {"_table", as_cfunction<py_table>(), METH_FASTCALL | METH_KEYWORDS,
                         "_table(data, plan, *, threads=1)\n--\n\n"};

}  // namespace varnex::python
