// The Result class: modes, conversions, and the operations its later parts share.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/engine.hpp"
#include "python/code_points.hpp"
#include "python/py_item.hpp"
#include "python/ref.hpp"
#include "python/result_text.hpp"
#include "python/utf8.hpp"

namespace varnex::python {

enum class Mode : uint8_t { Empty = 0, ScalarLike = 1, DictElement = 2, Multi = 3 };

// "empty", "scalar", "multi" (DictElement has no name in messages).
[[nodiscard]] const char* mode_name(Mode mode) noexcept;

// The Result class's description; module.cpp makes the class of each module instance.
extern PyType_Spec kResultSpec;

// Returns a new reference to a Result owning `items`, or NULL with an exception set.
// `result_class` is the module's Result class (module state, or the type of a Result at hand).
[[nodiscard]] Ref make_result(PyTypeObject* result_class, PyItems&& items) noexcept;
[[nodiscard]] bool is_result(PyObject* obj) noexcept;
// Borrowed from `result`, which must be a Result.
[[nodiscard]] const PyItems& result_items(PyObject* result) noexcept;

// The mode of `items`; for a single element item `element` is left holding
// its bytes for the rest of the operation. Nothing with an exception set.
[[nodiscard]] std::optional<Mode> compute_mode(const PyItems& items, ElementBytes& element);

// The text of a ScalarLike result's one item, checked for UTF-8 once and
// indexed by code point. Not movable: `bytes` and `points` may view `owned`.
struct IndexedText {
  IndexedText() = default;
  IndexedText(const IndexedText&) = delete;
  IndexedText& operator=(const IndexedText&) = delete;

  std::string owned;                 // an element item's extracted text
  std::string_view bytes;            // the text: `owned`, or a text item's bytes
  std::optional<Utf8Error> error;    // set when the text is not UTF-8
  std::optional<CodePoints> points;  // set when it is
  // For an item that may change between calls (a whole buffer): the bytes the text was
  // extracted from, to tell whether it still holds.
  std::optional<std::string> seen;
};

// The text of `result`, which is ScalarLike, with `element` loaded for its item, extracted
// once: the Result keeps it. Over a whole buffer, which may change between calls, it is
// extracted again when the buffer no longer holds the same bytes. May throw bad_alloc.
[[nodiscard]] const IndexedText& scalar_text(PyObject* result, const ElementBytes& element);

// Whether `result` keeps a scalar text that still holds, which makes it ScalarLike: one that
// cannot go stale, or one made from the bytes its whole buffer holds now (`element` is then
// loaded for its item). Nothing with an exception set when the buffer cannot be read.
[[nodiscard]] std::optional<bool> kept_scalar_text(PyObject* result, ElementBytes& element);

// Direct children grouped by name in one pass, so that every name's value
// costs only its own children: the distinct names in first-occurrence order
// (each as the index of its first child), and for each child the index of
// the next child with the same name.
struct ChildGroups {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  std::vector<size_t> first;  // per distinct name
  std::vector<size_t> next;   // per child; kNone after the last of a name
};
[[nodiscard]] ChildGroups group_children(const std::vector<engine::ChildSpan>& children);

// The direct children of one element, grouped by name, with each name's group. Names view
// the element's bytes.
struct ChildIndex {
  std::vector<engine::ChildSpan> children;
  ChildGroups groups;
  // name -> its group, made only for many groups: a few are searched in order (a Result
  // whose children are read once, as for its value, does not pay for the table).
  std::unordered_map<std::string_view, size_t> group_of;
  static constexpr size_t kHashedGroups = 16;

  // May throw bad_alloc.
  explicit ChildIndex(std::vector<engine::ChildSpan> found);
  // The group of the children named `name`, if any.
  [[nodiscard]] std::optional<size_t> find(std::string_view name) const noexcept;
};

// The children of `result`'s one element, with `element` loaded for its item. The Result
// keeps them from the first call where the element's bytes last as long as it does (so that
// every later lookup is one hash); otherwise they are made again in `scratch`. May throw
// bad_alloc.
[[nodiscard]] const ChildIndex& child_index(PyObject* result, const ElementBytes& element,
                                            std::unique_ptr<ChildIndex>& scratch);

// Returns a new reference: a Result of the children of group `group`, in
// document order (spans when `element` lies at an origin, else copies).
[[nodiscard]] Ref group_result(PyTypeObject* result_class, std::string_view element,
                               const std::vector<engine::ChildSpan>& children,
                               const ChildGroups& groups, size_t group,
                               SpanOrigin origin = {}) noexcept;

// The `value` attribute; returns a new reference or NULL with an exception set.
[[nodiscard]] Ref result_value(PyObject* result);

// Slots and methods defined beside the class: navigation (result_index.cpp),
// iteration (result_iter.cpp) and the dict-like views (result_views.cpp).
PyObject* Result_subscript(PyObject* self, PyObject* key) noexcept;
PyObject* Result_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;
PyObject* Result_iter(PyObject* self) noexcept;
PyObject* Result_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* Result_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* Result_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* Result_children(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;
PyObject* Result_reduce(PyObject* self, PyObject* unused) noexcept;  // result_pickle.cpp

}  // namespace varnex::python
