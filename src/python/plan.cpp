// Compiling a table's plan: the record path, and per field its program, type and policies.
#include "python/plan.hpp"

#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <variant>

#include "path/shape.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/path_object.hpp"
#include "python/query.hpp"

namespace varnex::python {
namespace {

constexpr const char* kCapsuleName = "varnex.RecordPlan";

// Names the record path, or field `field`, before the error its path raised.
void name_the_path(PyObject* field) noexcept {
  if (Ref prefix = path_owner_text(field)) prefix_error(prefix.get());
}

}  // namespace

path::ProgramPtr compile_record_path(PyObject* record_path, const PathArgs& paths) {
  path::ProgramPtr program = paths.program_of(record_path);
  if (!program) {
    name_the_path(nullptr);
    return nullptr;
  }
  if (!path::yields_elements(*program)) {
    raise_not_elements(record_path);
    return nullptr;
  }
  return path::each_at_end(std::move(program));
}

namespace {

// One of `words`, by its index; -1 with TypeError set.
template <size_t N>
int choice(PyObject* text, const char* const (&words)[N]) noexcept {
  if (PyUnicode_Check(text)) {
    for (size_t i = 0; i < N; ++i) {
      if (PyUnicode_CompareWithASCIIString(text, words[i]) == 0) return static_cast<int>(i);
    }
  }
  raise(Message::BadSpec);
  return -1;
}

bool read_int(PyObject* obj, int& out) noexcept {
  const long value = PyLong_Check(obj) ? PyLong_AsLong(obj) : -1;
  if (value < 0 || value > 1000) {
    PyErr_Clear();
    raise(Message::BadSpec);
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

// A field as Python hands it over (varnex._fields.NativeField), each part read by its name.
struct FieldSpec {
  Ref name;
  Ref path;
  Ref kind;  // the column type: kind, two numbers, and whether a list has 64-bit offsets
  Ref a;
  Ref b;
  Ref large_list;
  Ref on_repeat;
  Ref on_invalid;
  Ref null_values;  // a tuple of str, or None
  Ref format;       // str or None
  Ref maker;

  static constexpr std::pair<Ref FieldSpec::*, Name> kParts[] = {
      {&FieldSpec::name, Name::FieldName},
      {&FieldSpec::path, Name::FieldPath},
      {&FieldSpec::kind, Name::FieldKind},
      {&FieldSpec::a, Name::FieldA},
      {&FieldSpec::b, Name::FieldB},
      {&FieldSpec::large_list, Name::FieldLargeList},
      {&FieldSpec::on_repeat, Name::FieldOnRepeat},
      {&FieldSpec::on_invalid, Name::FieldOnInvalid},
      {&FieldSpec::null_values, Name::FieldNullValues},
      {&FieldSpec::format, Name::FieldFormat},
      {&FieldSpec::maker, Name::FieldMaker}};
  static constexpr size_t kCount = std::size(kParts);

  // Where each part sits in a named tuple of `type`, found by name in its _fields once per plan
  // (an attribute read per part costs more than the rest of the field); false when `type` is
  // not a named tuple holding every part, and then each part is read as an attribute.
  struct Places {
    PyObject* type = nullptr;  // borrowed: the first spec keeps it alive
    Py_ssize_t at[kCount] = {};
    Py_ssize_t size = 0;
    bool found = false;

    void learn(const ModuleState& state, PyObject* spec) {
      type = reinterpret_cast<PyObject*>(Py_TYPE(spec));
      found = false;
      if (!PyTuple_Check(spec)) return;
      Ref fields = Ref::steal(PyObject_GetAttrString(type, "_fields"));
      if (!fields || !PyTuple_Check(fields.get())) {
        PyErr_Clear();
        return;
      }
      const Py_ssize_t n = PyTuple_Size(fields.get());
      for (size_t k = 0; k < kCount; ++k) {
        at[k] = -1;
        // Most often the parts come in this order: the same interned name at the same place.
        const auto k_at = static_cast<Py_ssize_t>(k);
        if (k_at < n && PyTuple_GetItem(fields.get(), k_at) == state.name(kParts[k].second)) {
          at[k] = k_at;
        }
        for (Py_ssize_t i = 0; i < n && at[k] < 0; ++i) {
          PyObject* f = PyTuple_GetItem(fields.get(), i);
          const int same = PyObject_RichCompareBool(f, state.name(kParts[k].second), Py_EQ);
          if (same < 0) {
            PyErr_Clear();
            return;
          }
          if (same == 1) at[k] = i;
        }
        if (at[k] < 0) return;
      }
      size = n;
      found = PyTuple_Size(spec) == n;
    }
  };

  // False with TypeError set when `spec` lacks a part.
  bool read(const ModuleState& state, PyObject* spec, Places& places) {
    if (places.type != reinterpret_cast<PyObject*>(Py_TYPE(spec))) places.learn(state, spec);
    if (places.found && PyTuple_Size(spec) == places.size) {
      for (size_t k = 0; k < kCount; ++k) {
        this->*kParts[k].first = Ref::borrow(PyTuple_GetItem(spec, places.at[k]));
      }
      return true;
    }
    for (const auto& [part, name] : kParts) {
      this->*part = Ref::steal(PyObject_GetAttr(spec, state.name(name)));
      if (!(this->*part)) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
          PyErr_Clear();
          raise(Message::BadSpec);
        }
        return false;
      }
    }
    return true;
  }
};

// The column type a spec names; false with TypeError set.
bool read_type(const FieldSpec& spec, ColumnType& type) noexcept {
  static const char* const kKinds[] = {"string", "large_string", "dictionary", "bool",
                                       "int",    "uint",         "float",      "decimal128",
                                       "date32", "date64",       "timestamp"};
  const int kind = choice(spec.kind.get(), kKinds);
  int a = 0;
  int b = 0;
  if (kind < 0 || !read_int(spec.a.get(), a) || !read_int(spec.b.get(), b)) return false;
  static constexpr ValueType kValues[] = {
      ValueType::String, ValueType::LargeString, ValueType::Dictionary, ValueType::Bool,
      ValueType::Int,    ValueType::UInt,        ValueType::Float64,    ValueType::Decimal128,
      ValueType::Date32, ValueType::Date64,      ValueType::Timestamp};
  type.value = kValues[kind];
  bool ok = true;
  switch (type.value) {
    case ValueType::Int:
    case ValueType::UInt:
      ok = a == 8 || a == 16 || a == 32 || a == 64;
      type.bytes = static_cast<uint8_t>(a / 8);
      break;
    case ValueType::Float64:
      ok = a == 32 || a == 64;
      if (a == 32) type.value = ValueType::Float32;
      break;
    case ValueType::Decimal128:
      ok = a >= 1 && a <= 38 && b <= a;
      type.precision = a;
      type.scale = b;
      break;
    case ValueType::Timestamp:
      ok = a <= 3;
      type.unit = static_cast<values::TimeUnit>(a);
      break;
    default: break;
  }
  type.large_list = PyObject_IsTrue(spec.large_list.get()) == 1;
  if (!ok) raise(Message::BadSpec);
  return ok;
}

// One field from its spec; false with an exception set.
bool read_field(const ModuleState& state, PyObject* given, FieldPlan& field, const PathArgs& paths,
                FieldSpec::Places& places) {
  FieldSpec spec;
  if (!spec.read(state, given, places)) return false;
  PyObject* name = spec.name.get();
  if (!PyUnicode_Check(name)) {
    raise(Message::FieldNamesNotStr);
    return false;
  }
  field.name = Ref::borrow(name);
  path::ProgramPtr program = paths.program_of(spec.path.get());
  if (!program) {
    name_the_path(name);
    return false;
  }
  field.is_list = path::selects_each(*program);
  field.program = path::every_match(std::move(program));
  if (!read_type(spec, field.type)) return false;
  static const char* const kRepeat[] = {"error", "first", "last"};
  static const char* const kInvalid[] = {"error", "null"};
  const int repeat = choice(spec.on_repeat.get(), kRepeat);
  const int invalid = repeat < 0 ? -1 : choice(spec.on_invalid.get(), kInvalid);
  if (invalid < 0) return false;
  field.on_repeat = static_cast<OnRepeat>(repeat);
  field.on_invalid = static_cast<OnInvalid>(invalid);
  PyObject* null_values = spec.null_values.get();
  if (null_values != Py_None) {
    if (!PyTuple_Check(null_values)) {
      raise(Message::BadSpec);
      return false;
    }
    auto& texts = field.null_values.emplace();
    for (Py_ssize_t i = 0; i < PyTuple_Size(null_values); ++i) {
      Py_ssize_t size = 0;
      PyObject* text = PyTuple_GetItem(null_values, i);
      const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
      if (data == nullptr) {
        if (!PyErr_Occurred()) raise(Message::BadSpec);
        return false;
      }
      texts.emplace_back(data, static_cast<size_t>(size));
    }
  }
  PyObject* format = spec.format.get();
  if (format != Py_None) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(format) ? PyUnicode_AsUTF8AndSize(format, &size) : nullptr;
    if (data == nullptr) {
      if (!PyErr_Occurred()) raise(Message::BadSpec);
      return false;
    }
    auto compiled = values::DateFormat::compile(std::string_view(data, static_cast<size_t>(size)));
    if (auto* message = std::get_if<std::string>(&compiled)) {
      raise_bad_format(name, *message, format);
      return false;
    }
    field.format = std::get<values::DateFormat>(std::move(compiled));
  }
  field.maker = std::move(spec.maker);
  field.kept_as_text = field.type.is_text() && !field.null_values;
  return true;
}

void plan_destructor(PyObject* capsule) noexcept {
  delete static_cast<RecordPlan*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

constexpr Param kCompilePlanParams[] = {{"record_path", ParamKind::Any},
                                        {"fields", ParamKind::Any},
                                        {"on_error", ParamKind::Any},
                                        {"namespaces", ParamKind::Any, false, true}};
constexpr Signature kCompilePlanSignature{"_compile_plan()", kCompilePlanParams};

// Returns (capsule, a tuple saying for each field whether it is a list column).
PyObject* py_compile_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(kCompilePlanSignature, args, nargs, kwnames, bound)) return nullptr;
    PathArgs paths;
    if (!paths.read_namespaces(bound[3].object)) return nullptr;
    auto plan = std::make_unique<RecordPlan>();
    plan->record = compile_record_path(bound[0].object, paths);
    if (!plan->record) return nullptr;
    if (!PyTuple_Check(bound[1].object)) {
      raise(Message::BadSpec);
      return nullptr;
    }
    const Py_ssize_t n = PyTuple_Size(bound[1].object);
    plan->fields.resize(static_cast<size_t>(n));
    Ref lists = Ref::steal(PyTuple_New(n));
    if (!lists) return nullptr;
    FieldSpec::Places places;
    for (Py_ssize_t i = 0; i < n; ++i) {
      FieldPlan& field = plan->fields[static_cast<size_t>(i)];
      if (!read_field(module_state(module), PyTuple_GetItem(bound[1].object, i), field, paths,
                      places))
        return nullptr;
      plan->programs.push_back(field.program.get());
      plan->scoped = plan->scoped || field.program->scoped;
      PyTuple_SetItem(lists.get(), i, Py_NewRef(field.is_list ? Py_True : Py_False));  // steals
    }
    static const char* const kOnError[] = {"raise", "skip"};
    const int on_error = choice(bound[2].object, kOnError);
    if (on_error < 0) return nullptr;
    plan->on_error = static_cast<OnError>(on_error);
    Ref capsule = Ref::steal(PyCapsule_New(plan.get(), kCapsuleName, plan_destructor));
    if (!capsule) return nullptr;
    plan.release();  // the capsule owns it now
    return PyTuple_Pack(2, capsule.get(), lists.get());
  });
}

}  // namespace

RecordPlan* plan_of(PyObject* capsule) noexcept {
  auto* plan = static_cast<RecordPlan*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (plan == nullptr) {
    PyErr_Clear();
    raise(Message::PlanNotCapsule);
  }
  return plan;
}

PyMethodDef kCompilePlanDef = {"_compile_plan", as_cfunction<py_compile_plan>(),
                               METH_FASTCALL | METH_KEYWORDS,
                               "_compile_plan(record_path, fields, on_error, *, "
                               "namespaces=None)\n--\n\n"};

}  // namespace varnex::python
