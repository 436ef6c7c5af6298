// The Result class: one list of matched items, shaped by its mode on every use.
#include "python/result.hpp"

#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "path/number.hpp"
#include "python/args.hpp"
#include "python/docstrings.hpp"
#include "python/errors.hpp"
#include "python/many.hpp"
#include "python/module_state.hpp"
#include "python/result_repr.hpp"
#include "python/unlocked.hpp"
#include "python/utf8.hpp"
#include "values/values.hpp"

namespace varnex::python {
namespace {

struct ResultObject {
  PyObject ob_base;  // PyObject_HEAD
  PyItems items;
  // Made on the first character index or slice; items never change after.
  std::unique_ptr<IndexedText> text;
  // Made on the first lookup by child name, when the element's bytes last.
  std::unique_ptr<ChildIndex> children;
};

ResultObject* as_result(PyObject* self) noexcept { return reinterpret_cast<ResultObject*>(self); }

// ---- helpers -------------------------------------------------------------

// Returns a new reference: int, float or the str of the trimmed text, by
// classify_scalar; NULL with ValueError set when `text` is not UTF-8. Text known to be
// UTF-8 (`valid`) or ASCII (`ascii`) needs no check.
Ref scalar_value(std::string_view text, bool valid = false, bool ascii = false) {
  if (auto error = valid || ascii ? std::nullopt : check_utf8(text)) {
    raise_utf8_error(*error);
    return {};
  }
  const std::string_view trimmed = path::trim_unicode_ws(text);
  const values::Scalar scalar = values::classify_scalar(trimmed);
  if (const auto* i = std::get_if<int64_t>(&scalar)) return Ref::steal(PyLong_FromLongLong(*i));
  if (const auto* f = std::get_if<double>(&scalar)) return Ref::steal(PyFloat_FromDouble(*f));
  const auto size = static_cast<Py_ssize_t>(trimmed.size());
  // ASCII is Latin-1 too, the decoder that costs least.
  return Ref::steal(ascii ? PyUnicode_DecodeLatin1(trimmed.data(), size, nullptr)
                          : PyUnicode_FromStringAndSize(trimmed.data(), size));
}

// Strictly decoded texts of every item, in order; false with an exception set.
bool all_strings(const PyItems& items, std::vector<std::string>& out) {
  out.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    ItemText text;
    if (!text.load(items, i)) return false;
    if (auto error = check_utf8(text.bytes())) {
      raise_utf8_error(*error);
      return false;
    }
    out.emplace_back(text.bytes());
  }
  return true;
}

// Returns a new reference to a dict of child name -> Result, first occurrence first, from the
// children `result` keeps of its element (loaded in `element`).
Ref dict_value(PyObject* result, const ElementBytes& element) {
  std::unique_ptr<ChildIndex> scratch;
  const ChildIndex& index = child_index(result, element, scratch);
  const std::vector<engine::ChildSpan>& children = index.children;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (size_t g = 0; g < index.groups.first.size(); ++g) {
    Ref key = decode_strict(children[index.groups.first[g]].name);
    if (!key) return {};
    Ref value =
        group_result(Py_TYPE(result), element.bytes(), children, index.groups, g, element.origin());
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

// One child of `element`, as a span or a copy; offsets past the scanned bytes
// would be a scanner fault, so they are never read.
void push_child(std::string_view element, const engine::ChildSpan& child, bool spans,
                engine::Items& items) {
  if (child.end > element.size() || child.start > child.end) return;
  items.push_element(element, child.start, child.end, spans);
}

// Returns a new reference to a list with one single-item Result per item.
Ref list_value(PyTypeObject* result_class, const PyItems& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (size_t i = 0; i < items.size(); ++i) {
    Ref element = make_result(result_class, items.one(i));
    if (!element) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element.release());  // steals
  }
  return list;
}

// The one item's scalar value, an element's text as compute_mode found it.
Ref scalar_item_value(const PyItems& items, ElementBytes& element) {
  if (items.is_text(0)) return scalar_value(items.owned(0));
  const engine::ElementShape& shape = element.shape();
  return scalar_value(shape.text, shape.valid, shape.ascii);
}

// The value computed with a mode already known.
Ref value_for_mode(PyObject* result, Mode mode, ElementBytes& element) {
  const PyItems& items = as_result(result)->items;
  switch (mode) {
    case Mode::Empty: return Ref::borrow(Py_None);
    case Mode::ScalarLike: return scalar_item_value(items, element);
    case Mode::DictElement: return dict_value(result, element);
    case Mode::Multi: return list_value(Py_TYPE(result), items);
  }
  return {};
}

// Calls builtins.<name>(value), looked up afresh; returns a new reference.
Ref call_builtin(const char* name, PyObject* value) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return {};
  Ref function = Ref::steal(PyObject_GetAttrString(builtins.get(), name));
  if (!function) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(function.get(), value, nullptr));
}

// ---- lifecycle -------------------------------------------------------------

int Result_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_result(self)->items.source());
  return 0;
}

int Result_clear(PyObject* self) noexcept {
  // Move the items out first: dropping a source may run code that looks here.
  as_result(self)->text.reset();      // it may view a text item's bytes
  as_result(self)->children.reset();  // its names view the element's bytes
  PyItems doomed = std::move(as_result(self)->items);
  return 0;
}

void Result_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  as_result(self)->children.~unique_ptr();
  as_result(self)->text.~unique_ptr();
  as_result(self)->items.~PyItems();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- methods ---------------------------------------------------------------

constexpr Signature kExistsSignature{"Result.exists()", {}};
constexpr Signature kToStrSignature{"Result.to_str()", {}};
constexpr Signature kToStrListSignature{"Result.to_str_list()", {}};
constexpr Signature kToIntSignature{"Result.to_int()", {}};
constexpr Signature kToFloatSignature{"Result.to_float()", {}};
constexpr Signature kToBoolSignature{"Result.to_bool()", {}};

bool bind_none(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
  if (nargs == 0 && kwnames == nullptr) return true;  // the usual call, checked inline
  BoundArg unused[1];
  return bind_args(signature, args, nargs, kwnames, unused);
}

PyObject* Result_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  if (!bind_none(kExistsSignature, args, nargs, kwnames)) return nullptr;
  return PyBool_FromLong(!as_result(self)->items.empty());
}

PyObject* Result_to_str(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  if (!bind_none(kToStrSignature, args, nargs, kwnames)) return nullptr;
  return call_guarded(
      [&]() -> PyObject* { return to_str_value(as_result(self)->items).release(); });
}

PyObject* Result_to_str_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  if (!bind_none(kToStrListSignature, args, nargs, kwnames)) return nullptr;
  return call_guarded(
      [&]() -> PyObject* { return to_str_list_value(as_result(self)->items).release(); });
}

PyObject* Result_to_int(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  if (!bind_none(kToIntSignature, args, nargs, kwnames)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    const PyItems& items = as_result(self)->items;
    if (items.empty()) return PyLong_FromLong(0);
    ItemText text;
    if (!text.load(items, 0)) return nullptr;
    return PyLong_FromLongLong(values::lenient_int(text.bytes()));
  });
}

PyObject* Result_to_float(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  if (!bind_none(kToFloatSignature, args, nargs, kwnames)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    const PyItems& items = as_result(self)->items;
    if (items.empty()) return PyFloat_FromDouble(0.0);
    ItemText text;
    if (!text.load(items, 0)) return nullptr;
    return PyFloat_FromDouble(values::lenient_float(text.bytes()));
  });
}

PyObject* Result_to_bool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  if (!bind_none(kToBoolSignature, args, nargs, kwnames)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    const PyItems& items = as_result(self)->items;
    ElementBytes element;
    const auto mode = compute_mode(items, element);
    if (!mode) return nullptr;
    if (*mode == Mode::Empty) Py_RETURN_FALSE;
    if (*mode != Mode::ScalarLike) Py_RETURN_TRUE;
    const std::string_view text = items.is_text(0) ? items.owned(0) : element.shape().text;
    return PyBool_FromLong(values::lenient_bool(text));
  });
}

// ---- getters -----------------------------------------------------------------

PyObject* Result_get_type(PyObject* self, void*) noexcept {
  return call_guarded([&]() -> PyObject* {
    const PyItems& items = as_result(self)->items;
    ElementBytes element;
    const auto mode = compute_mode(items, element);
    if (!mode) return nullptr;
    switch (*mode) {
      case Mode::Empty: return Ref::borrow(Py_None).release();
      case Mode::DictElement:
        return Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)).release();
      case Mode::Multi: return Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type)).release();
      case Mode::ScalarLike: break;
    }
    Ref value = scalar_item_value(items, element);
    if (!value) return nullptr;
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))).release();
  });
}

PyObject* Result_get_value(PyObject* self, void*) noexcept {
  return call_guarded([&]() -> PyObject* { return result_value(self).release(); });
}

PyGetSetDef kResultGetSet[] = {
    {"type_", Result_get_type, nullptr, doc::Result_type_, nullptr},
    {"value", Result_get_value, nullptr, doc::Result_value, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- slots -------------------------------------------------------------------

Py_ssize_t Result_length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as_result(self)->items.size());
}

int Result_bool(PyObject* self) noexcept {
  return call_guarded([&]() -> int {
    const PyItems& items = as_result(self)->items;
    ElementBytes element;
    const auto mode = compute_mode(items, element);
    if (!mode) return -1;
    switch (*mode) {
      case Mode::Empty: return 0;
      case Mode::Multi:        // a list of two or more
      case Mode::DictElement:  // a dict with at least the child that made it dict-like
        return 1;
      case Mode::ScalarLike: break;
    }
    Ref value = value_for_mode(self, *mode, element);
    return value ? PyObject_IsTrue(value.get()) : -1;
  });
}

PyObject* Result_int(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    Ref value = result_value(self);
    if (!value) return nullptr;
    Ref converted = call_builtin("int", value.get());
    if (!converted) return nullptr;
    const long long number = PyLong_AsLongLong(converted.get());
    if (number == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLongLong(number);
  });
}

PyObject* Result_float(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    Ref value = result_value(self);
    if (!value) return nullptr;
    Ref converted = call_builtin("float", value.get());
    if (!converted) return nullptr;
    const double number = PyFloat_AsDouble(converted.get());
    if (number == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(number);
  });
}

// Equality only; the answer for a Result, a list of str, or a str.
// Returns 1/0, or -1 with an exception set.
int result_equals(const PyItems& items, PyObject* other) {
  if (is_result(other)) {
    std::vector<std::string> left;
    std::vector<std::string> right;
    if (!all_strings(items, left) || !all_strings(result_items(other), right)) return -1;
    return left == right ? 1 : 0;
  }
  if (PyList_Check(other)) {
    // Hold the elements: nothing below runs Python code, but the list is theirs.
    std::vector<Ref> held;
    std::vector<std::string_view> wanted;
    const Py_ssize_t size = PyList_Size(other);
    held.reserve(static_cast<size_t>(size));
    wanted.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      held.push_back(Ref::borrow(PyList_GetItem(other, i)));
      if (!held.back() || !PyUnicode_Check(held.back().get())) return 0;
      Py_ssize_t length = 0;
      const char* data = PyUnicode_AsUTF8AndSize(held.back().get(), &length);
      if (data == nullptr) {
        PyErr_Clear();
        return 0;
      }
      wanted.emplace_back(data, static_cast<size_t>(length));
    }
    std::vector<std::string> mine;
    if (!all_strings(items, mine)) return -1;
    if (mine.size() != wanted.size()) return 0;
    for (size_t i = 0; i < mine.size(); ++i) {
      if (mine[i] != wanted[i]) return 0;
    }
    return 1;
  }
  if (PyUnicode_Check(other)) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(other, &length);
    if (data == nullptr) {
      PyErr_Clear();
      return 0;
    }
    if (items.empty()) return 0;
    ItemText text;
    if (!text.load(items, 0)) return -1;
    if (check_utf8(text.bytes())) return 0;
    return text.bytes() == std::string_view(data, static_cast<size_t>(length)) ? 1 : 0;
  }
  return 0;
}

PyObject* Result_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  return call_guarded([&]() -> PyObject* {
    const int equal = result_equals(as_result(self)->items, other);
    if (equal < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
  });
}

// ---- slots as methods -------------------------------------------------------
// Entered beside the slots (METH_COEXIST), so that help() tells what indexing, iteration,
// len(), truth, int(), float() and == do; the interpreter still calls the slots directly.

PyObject* Result_getitem_method(PyObject* self, PyObject* key) noexcept {
  return Result_subscript(self, key);
}

PyObject* Result_iter_method(PyObject* self, PyObject*) noexcept { return Result_iter(self); }

PyObject* Result_len_method(PyObject* self, PyObject*) noexcept {
  return PyLong_FromSsize_t(Result_length(self));
}

PyObject* Result_bool_method(PyObject* self, PyObject*) noexcept {
  const int truth = Result_bool(self);
  return truth < 0 ? nullptr : PyBool_FromLong(truth);
}

PyObject* Result_int_method(PyObject* self, PyObject*) noexcept { return Result_int(self); }

PyObject* Result_float_method(PyObject* self, PyObject*) noexcept { return Result_float(self); }

PyObject* Result_eq_method(PyObject* self, PyObject* other) noexcept {
  return Result_richcompare(self, other, Py_EQ);
}

// ---- spec --------------------------------------------------------------------

PyMethodDef kResultMethods[] = {
    {"exists", as_cfunction<Result_exists>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_exists},
    {"to_str", as_cfunction<Result_to_str>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_to_str},
    {"to_str_list", as_cfunction<Result_to_str_list>(), METH_FASTCALL | METH_KEYWORDS,
     doc::Result_to_str_list},
    {"to_int", as_cfunction<Result_to_int>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_to_int},
    {"to_float", as_cfunction<Result_to_float>(), METH_FASTCALL | METH_KEYWORDS,
     doc::Result_to_float},
    {"to_bool", as_cfunction<Result_to_bool>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_to_bool},
    {"get", as_cfunction<Result_get>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_get},
    {"get_many", as_cfunction<Result_get_many>(), METH_FASTCALL | METH_KEYWORDS,
     doc::Result_get_many},
    {"keys", as_cfunction<Result_keys>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_keys},
    {"values", as_cfunction<Result_values>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_values},
    {"items", as_cfunction<Result_items>(), METH_FASTCALL | METH_KEYWORDS, doc::Result_items},
    {"children", as_cfunction<Result_children>(), METH_FASTCALL | METH_KEYWORDS,
     doc::Result_children},
    {"__reduce__", Result_reduce, METH_NOARGS, doc::Result___reduce__},
    {"__getitem__", Result_getitem_method, METH_O | METH_COEXIST, doc::Result___getitem__},
    {"__iter__", Result_iter_method, METH_NOARGS | METH_COEXIST, doc::Result___iter__},
    {"__len__", Result_len_method, METH_NOARGS | METH_COEXIST, doc::Result___len__},
    {"__bool__", Result_bool_method, METH_NOARGS | METH_COEXIST, doc::Result___bool__},
    {"__int__", Result_int_method, METH_NOARGS | METH_COEXIST, doc::Result___int__},
    {"__float__", Result_float_method, METH_NOARGS | METH_COEXIST, doc::Result___float__},
    {"__eq__", Result_eq_method, METH_O | METH_COEXIST, doc::Result___eq__},
    {nullptr, nullptr, 0, nullptr},
};

// The class made by get, parse, get_many and their kin: its items, and the mode they put it in
// (Empty, ScalarLike, DictElement, Multi), decide what each method and slot does.
PyType_Slot kResultSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::Result)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Result_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Result_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Result_clear)},
    {Py_tp_methods, kResultMethods},
    {Py_tp_getset, kResultGetSet},
    {Py_mp_length, reinterpret_cast<void*>(Result_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(Result_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(Result_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(Result_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(Result_bool)},
    {Py_nb_int, reinterpret_cast<void*>(Result_int)},
    {Py_nb_float, reinterpret_cast<void*>(Result_float)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Result_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kResultSpec = {
    "varnex._varnex.Result",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kResultSlots,
};

const char* mode_name(Mode mode) noexcept {
  switch (mode) {
    case Mode::Empty: return "empty";
    case Mode::ScalarLike: return "scalar";
    case Mode::Multi: return "multi";
    case Mode::DictElement: break;
  }
  return "dict";
}

Ref make_result(PyTypeObject* result_class, PyItems&& items) noexcept {
  PyObject* self = alloc_instance(result_class);
  if (self == nullptr) return {};
  // Moving a vector cannot throw; the payload now lives in the object.
  new (&as_result(self)->items) PyItems(std::move(items));
  new (&as_result(self)->text) std::unique_ptr<IndexedText>();
  new (&as_result(self)->children) std::unique_ptr<ChildIndex>();
  return Ref::steal(self);
}

bool is_result(PyObject* obj) noexcept { return has_dealloc(obj, Result_dealloc); }

const PyItems& result_items(PyObject* result) noexcept { return as_result(result)->items; }

std::optional<Mode> compute_mode(const PyItems& items, ElementBytes& element) {
  if (items.empty()) return Mode::Empty;
  if (items.size() > 1) return Mode::Multi;
  if (items.is_text(0)) return Mode::ScalarLike;
  if (!element.load(items, 0)) return std::nullopt;
  return element.shape().has_children ? Mode::DictElement : Mode::ScalarLike;
}

std::optional<bool> kept_scalar_text(PyObject* result, ElementBytes& element) {
  const IndexedText* text = as_result(result)->text.get();
  if (text == nullptr || !text->seen) return text != nullptr;
  if (!element.load(as_result(result)->items, 0)) return std::nullopt;
  return *text->seen == element.bytes();
}

const IndexedText& scalar_text(PyObject* result, const ElementBytes& element) {
  ResultObject* self = as_result(result);
  const PyItems& items = self->items;
  // Only a whole buffer can change under the Result (bytes and str cannot).
  const bool may_change = items.kind(0) == ItemKind::Whole && !PyBytes_Check(items.source()) &&
                          !PyUnicode_Check(items.source());
  if (self->text && (!may_change || *self->text->seen == element.bytes())) return *self->text;
  auto text = std::make_unique<IndexedText>();
  if (items.is_text(0)) {
    text->bytes = items.owned(0);
  } else {
    text->owned = engine::extract_element_text(element.bytes());
    text->bytes = text->owned;
  }
  text->error = check_utf8(text->bytes);
  if (!text->error) text->points.emplace(text->bytes);
  if (may_change) text->seen.emplace(element.bytes());
  self->text = std::move(text);
  return *self->text;
}

ChildGroups group_children(const std::vector<engine::ChildSpan>& children) {
  ChildGroups groups;
  groups.next.assign(children.size(), ChildGroups::kNone);
  // Per name: its group and the last child seen in it.
  std::unordered_map<std::string_view, std::pair<size_t, size_t>> seen;
  seen.reserve(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    const auto [it, added] = seen.try_emplace(children[i].name, groups.first.size(), i);
    if (added) {
      groups.first.push_back(i);
    } else {
      groups.next[it->second.second] = i;
      it->second.second = i;
    }
  }
  return groups;
}

ChildIndex::ChildIndex(std::vector<engine::ChildSpan> found)
    : children(std::move(found)), groups(group_children(children)) {
  if (groups.first.size() <= kHashedGroups) return;
  group_of.reserve(groups.first.size());
  for (size_t g = 0; g < groups.first.size(); ++g)
    group_of.emplace(children[groups.first[g]].name, g);
}

std::optional<size_t> ChildIndex::find(std::string_view name) const noexcept {
  if (groups.first.size() > kHashedGroups) {
    const auto group = group_of.find(name);
    if (group == group_of.end()) return std::nullopt;
    return group->second;
  }
  for (size_t g = 0; g < groups.first.size(); ++g) {
    if (children[groups.first[g]].name == name) return g;
  }
  return std::nullopt;
}

const ChildIndex& child_index(PyObject* result, const ElementBytes& element,
                              std::unique_ptr<ChildIndex>& scratch) {
  ResultObject* self = as_result(result);
  if (self->children) return *self->children;
  std::vector<engine::ChildSpan> found;
  {
    const UnlockedPass unlocked(element.is_immutable(), element.bytes().size());
    found = engine::collect_direct_children(element.bytes());
  }
  auto index = std::make_unique<ChildIndex>(std::move(found));
  // Another thread may have made them meanwhile, while this one read without the lock.
  std::unique_ptr<ChildIndex>& slot = element.lasting() ? self->children : scratch;
  if (!slot) slot = std::move(index);
  return *slot;
}

Ref group_result(PyTypeObject* result_class, std::string_view element,
                 const std::vector<engine::ChildSpan>& children, const ChildGroups& groups,
                 size_t group, SpanOrigin origin) noexcept {
  return Ref::steal(call_guarded([&]() -> PyObject* {
    engine::Items items;
    for (size_t i = groups.first[group]; i != ChildGroups::kNone; i = groups.next[i]) {
      push_child(element, children[i], origin.keeps_spans(), items);
    }
    return make_result(result_class, PyItems::lift(std::move(items), origin, element)).release();
  }));
}

Ref result_value(PyObject* result) {
  ElementBytes element;
  const auto mode = compute_mode(as_result(result)->items, element);
  if (!mode) return {};
  return value_for_mode(result, *mode, element);
}

}  // namespace varnex::python
