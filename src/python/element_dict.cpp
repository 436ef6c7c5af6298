// One element's markup rebuilt as Python values in a single reader pass.
#include "python/element_dict.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "engine/element_walk.hpp"
#include "path/number.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/py_item.hpp"
#include "python/ref.hpp"
#include "python/result.hpp"
#include "python/result_text.hpp"
#include "python/utf8.hpp"

namespace varnex::python {
namespace {

// Attributes under "@name", children under their names (a list once a name repeats), text
// beside them under "#text"; an element with neither attributes nor children is its text.
// Every text and attribute value goes through `scalar`.
class DictBuilder final : public engine::ElementVisitor {
 public:
  explicit DictBuilder(PyObject* scalar) noexcept : scalar_(scalar) {}

  bool start(std::string_view name) override {
    Ref key = decode_lossy(name);
    if (!key) return false;
    stack_.push_back(Frame{std::move(key), Ref{}, std::string{}});
    return true;
  }

  bool attribute(std::string_view name, std::string_view value) override {
    std::string key_bytes;
    key_bytes.reserve(name.size() + 1);
    key_bytes += '@';
    key_bytes += name;
    Ref key = decode_lossy(key_bytes);
    Ref text = key ? decode_lossy(value) : Ref{};
    Ref converted = text ? call_scalar(text.get()) : Ref{};
    PyObject* dict = converted ? frame_dict(stack_.back()) : nullptr;
    return dict != nullptr && PyDict_SetItem(dict, key.get(), converted.get()) == 0;
  }

  bool text(std::string_view text) override {
    stack_.back().text += text;
    return true;
  }

  bool end() override {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    const std::string_view trimmed = path::trim_unicode_ws(frame.text);
    Ref value;
    if (!frame.dict || !trimmed.empty()) {
      Ref text = decode_lossy(trimmed);
      if (!text) return false;
      value = call_scalar(text.get());
      if (!value) return false;
    }
    if (frame.dict) {
      if (value && PyDict_SetItem(frame.dict.get(), text_key(), value.get()) < 0) return false;
      value = std::move(frame.dict);
    }
    if (stack_.empty()) {
      root_ = std::move(value);
      return true;
    }
    return add_child(frame.key.get(), std::move(value));
  }

  // The converted element; empty when the walk met no element.
  [[nodiscard]] Ref take_root() noexcept { return std::move(root_); }

 private:
  struct Frame {
    Ref key;
    Ref dict;  // made at the first attribute or child
    std::string text;
  };

  static PyObject* frame_dict(Frame& frame) noexcept {
    if (!frame.dict) frame.dict = Ref::steal(PyDict_New());
    return frame.dict.get();
  }

  Ref call_scalar(PyObject* text) noexcept {
    return Ref::steal(PyObject_CallFunctionObjArgs(scalar_, text, nullptr));
  }

  PyObject* text_key() noexcept {
    if (!text_key_) text_key_ = Ref::steal(PyUnicode_FromString("#text"));
    return text_key_.get();
  }

  bool add_child(PyObject* key, Ref value) {
    PyObject* dict = frame_dict(stack_.back());
    if (dict == nullptr) return false;
    PyObject* existing = PyDict_GetItemWithError(dict, key);  // borrowed
    if (existing == nullptr) {
      return !PyErr_Occurred() && PyDict_SetItem(dict, key, value.get()) == 0;
    }
    // Element values are strings and dicts, so a list here is the name's own list.
    if (PyList_CheckExact(existing)) return PyList_Append(existing, value.get()) == 0;
    Ref list = Ref::steal(PyList_New(2));
    if (!list) return false;
    PyList_SetItem(list.get(), 0, Ref::borrow(existing).release());  // steals
    PyList_SetItem(list.get(), 1, value.release());
    return PyDict_SetItem(dict, key, list.get()) == 0;
  }

  PyObject* scalar_;  // borrowed from the caller's arguments
  std::vector<Frame> stack_;
  Ref root_;
  Ref text_key_;
};

constexpr Param kParams[] = {{"result", ParamKind::Any}, {"scalar", ParamKind::Any}};
constexpr Signature kSignature{"_element_dict()", kParams};

PyObject* py_element_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kSignature, args, nargs, kwnames, bound)) return nullptr;
    PyObject* result = bound[0].object;
    const PyItems* items = is_result(result) ? &result_items(result) : nullptr;
    if (items == nullptr || items->size() != 1 || items->is_text(0)) {
      raise(Message::ElementDictArgument);
      return nullptr;
    }
    ElementBytes element;
    if (!element.load(*items, 0)) return nullptr;
    // `scalar` runs Python code, which could change a mutable buffer under the walk.
    std::string copy;
    std::string_view bytes = element.bytes();
    if (!element.is_immutable()) {
      copy.assign(bytes);
      bytes = copy;
    }
    DictBuilder builder(bound[1].object);
    if (!engine::walk_element(bytes, builder)) return nullptr;
    Ref root = builder.take_root();
    return root ? root.release() : Ref::borrow(Py_None).release();
  });
}

constexpr Param kLossyParams[] = {{"result", ParamKind::Any}};
constexpr Signature kLossySignature{"_to_str_lossy()", kLossyParams};

PyObject* py_to_str_lossy(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[1];
    if (!bind_args(kLossySignature, args, nargs, kwnames, bound)) return nullptr;
    if (!is_result(bound[0].object)) {
      raise(Message::ToStrLossyArgument);
      return nullptr;
    }
    return to_str_value(result_items(bound[0].object), /*lossy=*/true).release();
  });
}

}  // namespace

PyMethodDef kToStrLossyDef = {"_to_str_lossy", as_cfunction<py_to_str_lossy>(),
                              METH_FASTCALL | METH_KEYWORDS, "_to_str_lossy(result)\n--\n\n"};

PyMethodDef kElementDictDef = {"_element_dict", as_cfunction<py_element_dict>(),
                               METH_FASTCALL | METH_KEYWORDS,
                               "_element_dict(result, scalar)\n--\n\n"};

}  // namespace varnex::python
