// iter(Result) and its three iterator classes: items, characters, child names.
#include "python/result_iter.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "python/docstrings.hpp"
#include "python/iterator.hpp"
#include "python/module_state.hpp"
#include "python/result.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

// Bytes taken by a UTF-8 sequence with this lead byte (the text is valid).
size_t sequence_length(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// ---- ResultItemIter ----------------------------------------------------------

struct ItemIterState {
  Ref parent;  // the Multi Result; it never changes, so the cursor stays meaningful
  size_t index = 0;
  // The bytes its spans lie in, when the source is a bytes or str (which never change and
  // live as long as the parent): items a few steps ahead are fetched while this one is used.
  std::string_view doc;
};

int ResultItemIter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iter<ItemIterState>(self)->state.parent.get());
  return 0;
}

int ResultItemIter_clear(PyObject* self) noexcept {
  Ref doomed = std::move(as_iter<ItemIterState>(self)->state.parent);
  return 0;
}

PyObject* ResultItemIter_next(PyObject* self) noexcept {
  return guarded_next<ItemIterState>(self, [](ItemIterState& state) -> PyObject* {
    if (!state.parent) return nullptr;
    const PyItems& items = result_items(state.parent.get());
    if (state.index >= items.size()) return nullptr;
    if (!state.doc.empty()) items.prefetch(state.index + PyItems::kPrefetchAhead, state.doc);
    Ref one = make_result(Py_TYPE(state.parent.get()), items.one(state.index));
    if (one) ++state.index;
    return one.release();
  });
}

// Holds a cursor and the parent; each step wraps one of its items, shared, not copied.
PyType_Slot kItemIterSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultItemIter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<ItemIterState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(ResultItemIter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ResultItemIter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<ItemIterState>)},
    {Py_tp_iternext, reinterpret_cast<void*>(ResultItemIter_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kItemIterSpec = {
    "varnex._varnex.ResultItemIter",
    sizeof(IterObject<ItemIterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kItemIterSlots,
};

namespace {

// ---- ResultCharIter ----------------------------------------------------------

struct CharIterState {
  std::string text;         // not yet known to be UTF-8
  size_t position = 0;      // byte offset of the next code point
  bool rest_valid = false;  // the bytes from `position` on were found valid once
};

PyObject* ResultCharIter_next(PyObject* self) noexcept {
  return guarded_next<CharIterState>(self, [](CharIterState& state) -> PyObject* {
    if (state.position >= state.text.size()) return nullptr;
    const std::string_view rest = std::string_view(state.text).substr(state.position);
    // A valid tail stays valid as the cursor moves along code points, so one
    // check serves the whole walk; a bad tail fails every call the same way.
    if (!state.rest_valid) {
      if (auto error = check_utf8(rest)) {
        raise_utf8_error(*error);
        return nullptr;
      }
      state.rest_valid = true;
    }
    const size_t length = sequence_length(static_cast<unsigned char>(rest.front()));
    PyObject* ch = PyUnicode_FromStringAndSize(rest.data(), static_cast<Py_ssize_t>(length));
    if (ch != nullptr) state.position += length;
    return ch;
  });
}

// The text is read once when the iterator is made; each step walks one UTF-8 code point.
PyType_Slot kCharIterSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultCharIter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<CharIterState>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<CharIterState>)},
    {Py_tp_iternext, reinterpret_cast<void*>(ResultCharIter_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kCharIterSpec = {
    "varnex._varnex.ResultCharIter",
    sizeof(IterObject<CharIterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kCharIterSlots,
};

namespace {

// ---- ResultChildKeyIter ------------------------------------------------------

struct ChildKeyIterState {
  std::vector<Ref> names;  // str objects, decoded when the iterator was made
  size_t index = 0;
};

PyObject* ResultChildKeyIter_next(PyObject* self) noexcept {
  return guarded_next<ChildKeyIterState>(self, [](ChildKeyIterState& state) -> PyObject* {
    if (state.index >= state.names.size()) return nullptr;
    return Ref::borrow(state.names[state.index++].get()).release();
  });
}

PyType_Slot kChildKeyIterSlots[] = {
    {Py_tp_doc, const_cast<char*>(doc::ResultChildKeyIter)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc<ChildKeyIterState>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<ChildKeyIterState>)},
    {Py_tp_iternext, reinterpret_cast<void*>(ResultChildKeyIter_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kChildKeyIterSpec = {
    "varnex._varnex.ResultChildKeyIter",
    sizeof(IterObject<ChildKeyIterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChildKeyIterSlots,
};

namespace {

// Returns a new reference: the interpreter's own iterator over an empty list.
Ref empty_iterator() noexcept {
  Ref empty = Ref::steal(PyList_New(0));
  return empty ? Ref::steal(PyObject_GetIter(empty.get())) : Ref{};
}

}  // namespace

Ref make_child_key_iter(const ModuleState& state_of_module, std::string_view element) {
  const std::vector<engine::ChildSpan> children = engine::collect_direct_children(element);
  ChildKeyIterState state;
  for (std::string_view name : engine::unique_child_names(children)) {
    Ref key = decode_strict(name);
    if (!key) return {};
    state.names.push_back(std::move(key));
  }
  return make_iter(state_of_module.type(Class::ChildKeyIter), std::move(state));
}

PyObject* Result_iter(PyObject* self) noexcept {
  return call_guarded([&]() -> PyObject* {
    const PyItems& items = result_items(self);
    ElementBytes element;
    const auto mode = compute_mode(items, element);
    if (!mode) return nullptr;
    switch (*mode) {
      case Mode::Empty: return empty_iterator().release();
      case Mode::ScalarLike: {
        // Decoding waits for the first step: making the iterator never fails on text.
        CharIterState state;
        if (items.is_text(0)) {
          state.text = items.owned(0);
        } else {
          state.text = element.shape().text;
        }
        return make_iter(state_of(self).type(Class::CharIter), std::move(state)).release();
      }
      case Mode::DictElement: return make_child_key_iter(state_of(self), element.bytes()).release();
      case Mode::Multi:
        return make_iter(state_of(self).type(Class::ItemIter),
                         ItemIterState{Ref::borrow(self), 0, lasting_bytes(items.source())})
            .release();
    }
    return nullptr;
  });
}

}  // namespace varnex::python
