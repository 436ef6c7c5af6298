// _cut_root(), _next_cut(), _ends_between_children(): the engine's rules for cutting a
// document among its root's children, for the Dask reader, which cuts files it reads in pieces.
#include "python/cutting.hpp"

#include <algorithm>
#include <string_view>

#include "engine/engine.hpp"
#include "engine/ranges.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/plan.hpp"
#include "python/ref.hpp"
#include "python/unlocked.hpp"

namespace varnex::python {
namespace {

std::string_view bytes_of(PyObject* bytes) noexcept {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return {};
  return {data, static_cast<size_t>(size)};
}

constexpr Param kCutRootParams[] = {{"head", ParamKind::Bytes}, {"plan", ParamKind::Any}};
constexpr Signature kCutRootSignature{"_cut_root()", kCutRootParams};

// (offset of the root's content, the root's name, its records' name, both bytes) when the
// plan's records can
// be read range by range in the document `head` begins; None when not, or when `head` is too
// short to tell (it does not reach the root's first children).
PyObject* py_cut_root(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kCutRootSignature, args, nargs, kwnames, bound)) return nullptr;
    const RecordPlan* plan = plan_of(bound[1].object);
    if (plan == nullptr) return nullptr;
    const std::string_view head = bytes_of(bound[0].object);
    const auto root = engine::find_root(head);
    if (!root || !engine::records_can_be_cut(*plan->record, head)) Py_RETURN_NONE;
    const auto name = engine::first_element_name(head);
    Ref root_name = Ref::steal(PyBytes_FromStringAndSize(
        name ? name->data() : "", name ? static_cast<Py_ssize_t>(name->size()) : 0));
    Ref child = Ref::steal(
        PyBytes_FromStringAndSize(root->child.data(), static_cast<Py_ssize_t>(root->child.size())));
    if (!root_name || !child) return nullptr;
    return Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(root->content), root_name.get(),
                         child.get());
  });
}

constexpr Param kNextCutParams[] = {
    {"data", ParamKind::Bytes}, {"at", ParamKind::Any}, {"child", ParamKind::Bytes}};
constexpr Signature kNextCutSignature{"_next_cut()", kNextCutParams};

// The first offset from `at` on in `data` (a piece from inside the root) where one of the
// root's children most likely starts, or -1.
PyObject* py_next_cut(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[3];
    if (!bind_args(kNextCutSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t at = PyLong_AsSsize_t(bound[1].object);
    if (at == -1 && PyErr_Occurred()) return nullptr;
    engine::Root root;  // its content starts where the piece does
    root.child = bytes_of(bound[2].object);
    const size_t found = engine::next_cut(bytes_of(bound[0].object),
                                          static_cast<size_t>(std::max<Py_ssize_t>(at, 0)), root);
    return PyLong_FromSsize_t(found == std::string_view::npos ? -1
                                                              : static_cast<Py_ssize_t>(found));
  });
}

constexpr Param kEndsParams[] = {{"data", ParamKind::Bytes}, {"start", ParamKind::Any}};
constexpr Signature kEndsSignature{"_ends_between_children()", kEndsParams};

// Whether `data` (the document's head up to its root's content, then a range of it from
// offset `start` on) ends between two of the root's children.
PyObject* py_ends_between_children(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kEndsSignature, args, nargs, kwnames, bound)) return nullptr;
    const Py_ssize_t start = PyLong_AsSsize_t(bound[1].object);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    const std::string_view data = bytes_of(bound[0].object);
    bool ends = false;
    {
      const UnlockedPass unlocked(true, data.size());
      ends =
          engine::ends_between_children(data, static_cast<size_t>(std::max<Py_ssize_t>(start, 0)));
    }
    return PyBool_FromLong(ends);
  });
}

}  // namespace

PyMethodDef kCutRootDef = {"_cut_root", as_cfunction<py_cut_root>(), METH_FASTCALL | METH_KEYWORDS,
                           "_cut_root(head, plan)\n--\n\n"};
PyMethodDef kNextCutDef = {"_next_cut", as_cfunction<py_next_cut>(), METH_FASTCALL | METH_KEYWORDS,
                           "_next_cut(data, at, child)\n--\n\n"};
PyMethodDef kEndsBetweenChildrenDef = {
    "_ends_between_children", as_cfunction<py_ends_between_children>(),
    METH_FASTCALL | METH_KEYWORDS, "_ends_between_children(data, start)\n--\n\n"};

}  // namespace varnex::python
