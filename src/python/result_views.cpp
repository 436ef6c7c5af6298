// keys(), values(), items(), children(): the views over a dict-like Result
// and the child iterators that walk a snapshot of its children.
#include "python/result_views.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "python/args.hpp"
#include "python/docstrings.hpp"
#include "python/errors.hpp"
#include "python/iterator.hpp"
#include "python/result.hpp"
#include "python/result_iter.hpp"
#include "python/result_repr.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

// ---- helpers -------------------------------------------------------------

struct ViewObject {
  PyObject ob_base;  // PyObject_HEAD
  Ref parent;        // the DictElement Result; never changes
};

ViewObject* as_view(PyObject* self) noexcept { return reinterpret_cast<ViewObject*>(self); }

// The parent's element bytes, held by `element` for the operation. Nothing
// to scan (empty bytes) for a cleared view. False with an exception set.
bool load_parent(PyObject* view, ElementBytes& element) noexcept {
  PyObject* parent = as_view(view)->parent.get();
  if (parent == nullptr) return true;
  const PyItems& items = result_items(parent);
  if (items.size() != 1) return true;
  return element.load(items, 0);
}

// What an iterator works from: its own copy of the parent's bytes and children.
struct ChildSnapshot {
  std::string bytes;
  std::vector<engine::ChildSpan> children;
};

// False with an exception set when the source can no longer be read.
bool take_snapshot(PyObject* view, ChildSnapshot& out) {
  ElementBytes element;
  if (!load_parent(view, element)) return false;
  out.bytes.assign(element.bytes());
  out.children = engine::collect_direct_children(out.bytes);
  return true;
}

// ---- ResultChildValueIter ----------------------------------------------------

struct ChildValueIterState {
  ChildSnapshot snapshot;
  ChildGroups groups;  // names stay raw: values never fail on a name
  size_t index = 0;
};

PyObject* ResultChildValueIter_next(PyObject* self) noexcept {
  return guarded_next<ChildValueIterState>(self, [self](ChildValueIterState& state) -> PyObject* {
    if (state.index >= state.groups.first.size()) return nullptr;
    const ChildSnapshot& snap = state.snapshot;
    return group_result(state_of(self).type(Class::Result), snap.bytes, snap.children, state.groups,
                        state.index++)
        .release();
  });
}

// A value's children are sliced out of the parent's bytes only when it is produced.
PyType_Slot kChildValueIterSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultChildValueIter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<ChildValueIterState>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<ChildValueIterState>)},
    {Py_tp_iternext, reinterpret_cast<void*>(ResultChildValueIter_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kChildValueIterSpec = {
    "varnex._varnex.ResultChildValueIter",
    sizeof(IterObject<ChildValueIterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChildValueIterSlots,
};

namespace {

// ---- ResultChildItemIter -----------------------------------------------------

struct ChildItemIterState {
  ChildSnapshot snapshot;
  ChildGroups groups;
  std::vector<Ref> keys;  // each group's name as str
  size_t index = 0;
};

PyObject* ResultChildItemIter_next(PyObject* self) noexcept {
  return guarded_next<ChildItemIterState>(self, [self](ChildItemIterState& state) -> PyObject* {
    if (state.index >= state.groups.first.size()) return nullptr;
    const size_t at = state.index++;
    const ChildSnapshot& snap = state.snapshot;
    Ref value = group_result(state_of(self).type(Class::Result), snap.bytes, snap.children,
                             state.groups, at);
    if (!value) return nullptr;
    return PyTuple_Pack(2, state.keys[at].get(), value.get());
  });
}

PyType_Slot kChildItemIterSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultChildItemIter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<ChildItemIterState>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<ChildItemIterState>)},
    {Py_tp_iternext, reinterpret_cast<void*>(ResultChildItemIter_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kChildItemIterSpec = {
    "varnex._varnex.ResultChildItemIter",
    sizeof(IterObject<ChildItemIterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChildItemIterSlots,
};

namespace {

// ---- ResultChildIter ---------------------------------------------------------

struct ChildIterState {
  ChildSnapshot snapshot;
  size_t index = 0;
};

PyObject* ResultChildIter_next(PyObject* self) noexcept {
  return guarded_next<ChildIterState>(self, [self](ChildIterState& state) -> PyObject* {
    const auto& children = state.snapshot.children;
    if (state.index >= children.size()) return nullptr;
    // Step past the child first: a bad name fails this call only.
    const engine::ChildSpan& child = children[state.index++];
    Ref name = decode_strict(child.name);
    if (!name) return nullptr;
    const std::string_view bytes = state.snapshot.bytes;
    if (child.start > child.end || child.end > bytes.size()) {
      raise(Message::ChildOutsideParent);
      return nullptr;
    }
    engine::Items one;
    one.push_element(bytes, child.start, child.end, false);  // the snapshot is the iterator's
    Ref value = make_result(state_of(self).type(Class::Result), PyItems::copies(std::move(one)));
    if (!value) return nullptr;
    return PyTuple_Pack(2, name.get(), value.get());
  });
}

PyType_Slot kChildIterSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultChildIter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<ChildIterState>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<ChildIterState>)},
    {Py_tp_iternext, reinterpret_cast<void*>(ResultChildIter_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kChildIterSpec = {
    "varnex._varnex.ResultChildIter",
    sizeof(IterObject<ChildIterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChildIterSlots,
};

namespace {

// ---- views: lifecycle ----------------------------------------------------------

int View_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_view(self)->parent.get());
  return 0;
}

int View_clear(PyObject* self) noexcept {
  Ref doomed = std::move(as_view(self)->parent);
  return 0;
}

void View_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  as_view(self)->parent.~Ref();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Returns a new reference to a view of `type` over `parent` (borrowed).
Ref make_view(PyTypeObject* type, PyObject* parent) noexcept {
  PyObject* self = alloc_instance(type);
  if (self == nullptr) return {};
  new (&as_view(self)->parent) Ref(Ref::borrow(parent));
  return Ref::steal(self);
}

// ---- views: slots ----------------------------------------------------------------

// Runs `use(index)` over the parent's children, kept by the parent where they last; a
// cleared view has none. -1 with an exception set when the parent cannot be read.
template <class Use>
auto with_children(PyObject* view, Use&& use) noexcept {
  return call_guarded([&]() -> decltype(use(std::declval<const ChildIndex&>())) {
    PyObject* parent = as_view(view)->parent.get();
    if (parent == nullptr) return use(ChildIndex({}));
    ElementBytes element;
    if (!load_parent(view, element)) return -1;
    std::unique_ptr<ChildIndex> scratch;
    return use(child_index(parent, element, scratch));
  });
}

// Number of unique child names; -1 with an exception set.
Py_ssize_t unique_name_count(PyObject* self) noexcept {
  return with_children(self, [](const ChildIndex& index) -> Py_ssize_t {
    return static_cast<Py_ssize_t>(index.groups.first.size());
  });
}

Py_ssize_t ResultChildrenView_length(PyObject* self) noexcept {
  return with_children(self, [](const ChildIndex& index) -> Py_ssize_t {
    return static_cast<Py_ssize_t>(index.children.size());
  });
}

int ResultKeysView_contains(PyObject* self, PyObject* key) noexcept {
  if (!PyUnicode_Check(key)) return 0;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a str with no UTF-8 form names no child
    return 0;
  }
  const std::string_view name(data, static_cast<size_t>(size));
  return with_children(self,
                       [&](const ChildIndex& index) -> int { return index.find(name) ? 1 : 0; });
}

PyObject* ResultKeysView_iter(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    ElementBytes element;
    if (!load_parent(self, element)) return nullptr;
    return make_child_key_iter(state_of(self), element.bytes()).release();
  });
}

PyObject* ResultValuesView_iter(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    ChildValueIterState state;
    if (!take_snapshot(self, state.snapshot)) return nullptr;
    state.groups = group_children(state.snapshot.children);
    return make_iter(state_of(self).type(Class::ChildValueIter), std::move(state)).release();
  });
}

PyObject* ResultItemsView_iter(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    ChildItemIterState state;
    if (!take_snapshot(self, state.snapshot)) return nullptr;
    state.groups = group_children(state.snapshot.children);
    state.keys.reserve(state.groups.first.size());
    for (const size_t first : state.groups.first) {
      Ref key = decode_strict(state.snapshot.children[first].name);
      if (!key) return nullptr;
      state.keys.push_back(std::move(key));
    }
    return make_iter(state_of(self).type(Class::ChildItemIter), std::move(state)).release();
  });
}

PyObject* ResultChildrenView_iter(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    ChildIterState state;
    if (!take_snapshot(self, state.snapshot)) return nullptr;
    return make_iter(state_of(self).type(Class::ChildIter), std::move(state)).release();
  });
}

// ---- views: specs ------------------------------------------------------------------

PyType_Slot kKeysViewSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultKeysView)},
    {Py_tp_dealloc, reinterpret_cast<void*>(View_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(View_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(View_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(ResultKeysView_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(ResultKeysView_repr)},
    {Py_sq_length, reinterpret_cast<void*>(unique_name_count)},
    {Py_sq_contains, reinterpret_cast<void*>(ResultKeysView_contains)},
    {0, nullptr},
};

PyType_Slot kValuesViewSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultValuesView)},
    {Py_tp_dealloc, reinterpret_cast<void*>(View_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(View_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(View_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(ResultValuesView_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(ResultValuesView_repr)},
    {Py_sq_length, reinterpret_cast<void*>(unique_name_count)},
    {0, nullptr},
};

PyType_Slot kItemsViewSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultItemsView)},
    {Py_tp_dealloc, reinterpret_cast<void*>(View_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(View_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(View_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(ResultItemsView_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(ResultItemsView_repr)},
    {Py_sq_length, reinterpret_cast<void*>(unique_name_count)},
    {0, nullptr},
};

PyType_Slot kChildrenViewSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultChildrenView)},
    {Py_tp_dealloc, reinterpret_cast<void*>(View_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(View_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(View_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(ResultChildrenView_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(ResultChildrenView_repr)},
    {Py_sq_length, reinterpret_cast<void*>(ResultChildrenView_length)},
    {0, nullptr},
};

constexpr unsigned kViewFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace

PyType_Spec kKeysViewSpec = {"varnex._varnex.ResultKeysView", sizeof(ViewObject), 0, kViewFlags,
                             kKeysViewSlots};
PyType_Spec kValuesViewSpec = {"varnex._varnex.ResultValuesView", sizeof(ViewObject), 0, kViewFlags,
                               kValuesViewSlots};
PyType_Spec kItemsViewSpec = {"varnex._varnex.ResultItemsView", sizeof(ViewObject), 0, kViewFlags,
                              kItemsViewSlots};
PyType_Spec kChildrenViewSpec = {"varnex._varnex.ResultChildrenView", sizeof(ViewObject), 0,
                                 kViewFlags, kChildrenViewSlots};

namespace {

// ---- Result methods ----------------------------------------------------------------

// The four methods differ only in their name and view class.
PyObject* make_view_method(const Signature& signature, Class view_class, PyObject* self,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  BoundArg unused[1];
  if (!bind_args(signature, args, nargs, kwnames, unused)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    ElementBytes element;
    const auto mode = compute_mode(result_items(self), element);
    if (!mode) return nullptr;
    if (*mode != Mode::DictElement) {
      raise_needs_dict_like(signature.display, mode_name(*mode));
      return nullptr;
    }
    return make_view(state_of(self).type(view_class), self).release();
  });
}

constexpr Signature kKeysSignature{"Result.keys()", {}};
constexpr Signature kValuesSignature{"Result.values()", {}};
constexpr Signature kItemsSignature{"Result.items()", {}};
constexpr Signature kChildrenSignature{"Result.children()", {}};

}  // namespace

PyObject* view_parent(PyObject* view) noexcept { return as_view(view)->parent.get(); }

PyObject* Result_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return make_view_method(kKeysSignature, Class::KeysView, self, args, nargs, kwnames);
}

PyObject* Result_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return make_view_method(kValuesSignature, Class::ValuesView, self, args, nargs, kwnames);
}

PyObject* Result_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return make_view_method(kItemsSignature, Class::ItemsView, self, args, nargs, kwnames);
}

PyObject* Result_children(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return make_view_method(kChildrenSignature, Class::ChildrenView, self, args, nargs, kwnames);
}

}  // namespace varnex::python
