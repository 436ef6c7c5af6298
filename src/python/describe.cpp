// _describe(): every element and attribute path inside the first records, how many records
// hold it and how often one does, a few of its values, and the narrowest type they all fit.
#include "python/describe.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/element_walk.hpp"
#include "path/number.hpp"
#include "path/shape.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/locate.hpp"
#include "python/path_object.hpp"
#include "python/plan.hpp"
#include "python/query.hpp"
#include "python/record_feed.hpp"
#include "python/source.hpp"
#include "values/values.hpp"

namespace varnex::python {
namespace {

// Samples are cut to about this many bytes (at a character's start).
constexpr size_t kSampleBytes = 80;

// The types a discovery tries, narrowest first; a path keeps those every value fits.
enum TypeBit : uint8_t { kBool = 1, kInt = 2, kFloat = 4, kDate = 8, kTimestamp = 16 };
constexpr const char* kTypeNames[] = {"bool", "int64", "float64", "date32", "timestamp[us]"};

uint8_t fits(std::string_view text) noexcept {
  uint8_t bits = 0;
  if (values::is_bool_word(text)) bits |= kBool;
  if (values::parse_int(text, INT64_MIN, INT64_MAX)) bits |= kInt;
  if (values::parse_float64(text)) bits |= kFloat;
  if (values::parse_date(text, nullptr)) bits |= kDate;
  if (values::parse_timestamp(text, values::TimeUnit::Micro, nullptr)) bits |= kTimestamp;
  return bits;
}

struct PathStats {
  std::string path;
  bool attribute = false;
  bool children = false;  // some match holds child elements: its value is markup
  size_t records = 0;     // records holding it
  size_t most = 0;        // the most matches in one record
  size_t last_record = SIZE_MAX;
  size_t in_record = 0;
  size_t values = 0;  // non-empty values seen
  uint8_t types = 0xff;
  std::vector<std::string> samples;
};

class DescribeSink final : public RecordSink, engine::ElementVisitor {
 public:
  DescribeSink(size_t sample, size_t samples) : sample_(sample), samples_(samples) {}

  Added add(std::vector<engine::Items>&, const Record& record) override {
    if (full()) return Added::Ok;  // the rest of the last batch
    open_.clear();
    (void)engine::walk_element(record.bytes, *this);
    ++records_;
    return Added::Ok;
  }
  [[nodiscard]] bool full() const override { return records_ >= sample_; }

  // Returns a new reference to (records seen, [(path, is attribute, records holding it, most
  // in one record, has children, samples, type), ...]) in the order first met, or NULL.
  [[nodiscard]] Ref finish() const {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(stats_.size())));
    if (!list) return {};
    for (size_t i = 0; i < stats_.size(); ++i) {
      const PathStats& s = stats_[i];
      Ref samples = Ref::steal(PyList_New(static_cast<Py_ssize_t>(s.samples.size())));
      if (!samples) return {};
      for (size_t k = 0; k < s.samples.size(); ++k) {
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(
            s.samples[k].data(), static_cast<Py_ssize_t>(s.samples[k].size()), "replace"));
        if (!text) return {};
        PyList_SetItem(samples.get(), static_cast<Py_ssize_t>(k), text.release());  // steals
      }
      const char* type = "string";
      if (!s.children && s.values > 0) {
        for (size_t t = 0; t < std::size(kTypeNames); ++t) {
          if (s.types & (1u << t)) {
            type = kTypeNames[t];
            break;
          }
        }
      }
      Ref path = Ref::steal(
          PyUnicode_FromStringAndSize(s.path.data(), static_cast<Py_ssize_t>(s.path.size())));
      if (!path) return {};
      Ref entry = Ref::steal(
          Py_BuildValue("(OOnnOOs)", path.get(), s.attribute ? Py_True : Py_False,
                        static_cast<Py_ssize_t>(s.records), static_cast<Py_ssize_t>(s.most),
                        s.children ? Py_True : Py_False, samples.get(), type));
      if (!entry) return {};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry.release());  // steals
    }
    return Ref::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(records_), list.get()));
  }

 private:
  struct Open {
    size_t stats;  // SIZE_MAX for the record itself, and where no path leads
    std::string path;
    std::string text;
    bool children = false;
    bool unnamed = false;  // it, or an element around it, has no name a path can give
  };

  bool start(std::string_view name) override {
    if (!open_.empty()) open_.back().children = true;
    if (open_.empty()) {
      open_.push_back(Open{SIZE_MAX, {}, {}});
      return true;
    }
    if (name.empty() || open_.back().unnamed) {  // broken markup: `< >`
      open_.push_back(Open{SIZE_MAX, {}, {}, false, true});
      return true;
    }
    std::string path = open_.back().path;
    if (!path.empty()) path += '.';
    path += path::escape_name(name);
    const size_t at = seen(path, false);
    open_.push_back(Open{at, std::move(path), {}});
    return true;
  }

  bool attribute(std::string_view name, std::string_view value) override {
    if (name.empty() || open_.back().unnamed) return true;
    std::string path = open_.back().path;
    if (!path.empty()) path += '.';
    path += '@';
    path += path::escape_name(name);
    value_of(seen(path, true), value);
    return true;
  }

  bool text(std::string_view text) override {
    if (open_.back().text.size() < 4096) open_.back().text.append(text);
    return true;
  }

  bool end() override {
    Open& top = open_.back();
    if (top.stats != SIZE_MAX) {
      if (top.children) {
        stats_[top.stats].children = true;
      } else {
        value_of(top.stats, top.text);
      }
    }
    open_.pop_back();
    return true;
  }

  // The stats of `path`, counted once more in this record.
  size_t seen(const std::string& path, bool attribute) {
    auto [it, added] = index_.try_emplace(path, stats_.size());
    if (added) {
      stats_.emplace_back();
      stats_.back().path = path;
      stats_.back().attribute = attribute;
    }
    PathStats& s = stats_[it->second];
    if (s.last_record != records_) {
      s.last_record = records_;
      s.in_record = 0;
      ++s.records;
    }
    if (++s.in_record > s.most) s.most = s.in_record;
    return it->second;
  }

  void value_of(size_t at, std::string_view raw) {
    PathStats& s = stats_[at];
    const std::string_view text = path::trim_unicode_ws(raw);
    if (text.empty()) return;
    ++s.values;
    s.types &= fits(text);
    if (s.samples.size() >= samples_) return;
    size_t cut = std::min(text.size(), kSampleBytes);
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    const std::string_view sample = text.substr(0, cut);
    for (const std::string& known : s.samples) {
      if (known == sample) return;
    }
    s.samples.emplace_back(sample);
  }

  size_t sample_;
  size_t samples_;
  size_t records_ = 0;
  std::vector<Open> open_;
  std::vector<PathStats> stats_;
  std::unordered_map<std::string, size_t> index_;
};

constexpr Param kDescribeParams[] = {{"data", ParamKind::Any},
                                     {"record_path", ParamKind::Any},
                                     {"sample", ParamKind::Any},
                                     {"samples", ParamKind::Any},
                                     {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kDescribeSignature{"_describe()", kDescribeParams};

PyObject* py_describe(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[5];
    if (!bind_args(kDescribeSignature, args, nargs, kwnames, bound)) return nullptr;
    PathArgs paths;
    if (!paths.read_namespaces(bound[4].object)) return nullptr;
    RecordPlan plan;
    plan.on_error = OnError::Skip;  // a record the input broke off in is left out
    plan.record = compile_record_path(bound[1].object, paths);
    if (!plan.record) return nullptr;
    const Py_ssize_t sample = PyLong_AsSsize_t(bound[2].object);
    const Py_ssize_t samples = PyLong_AsSsize_t(bound[3].object);
    if ((sample == -1 || samples == -1) && PyErr_Occurred()) return nullptr;
    const Ref data = open_document(module_state(module), bound[0].object);
    if (!data) return nullptr;
    SourceBytes doc;
    if (!doc.acquire(data.get()) || !doc.decode_document()) return nullptr;
    const Locator locator(doc.bytes());
    DescribeSink describe(sample < 0 ? SIZE_MAX : static_cast<size_t>(sample),
                          samples < 0 ? 0 : static_cast<size_t>(samples));
    Skipped skipped;
    if (!feed_records(doc.bytes(), doc.is_immutable(), plan, locator, describe, skipped)) {
      return nullptr;
    }
    doc.release();
    return describe.finish().release();
  });
}

}  // namespace

PyMethodDef kDescribeDef = {"_describe", as_cfunction<py_describe>(), METH_FASTCALL | METH_KEYWORDS,
                            "_describe(data, record_path, sample, samples, *, "
                            "namespaces=None)\n--\n\n"};

}  // namespace varnex::python
