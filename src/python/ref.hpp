// Ownership of interpreter references and buffer views, expressed in types.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

#include "python/unlocked.hpp"

namespace varnex::python {

// Owns one strong reference (or nothing). Plain PyObject* elsewhere is borrowed.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    // Take the new reference before dropping the old: dropping may run
    // arbitrary code that could reach this owner again.
    PyObject* old = obj_;
    obj_ = other.obj_;
    other.obj_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() {
    assert((obj_ == nullptr || !pass_unlocked_here()) && "reference dropped without the lock");
    Py_XDECREF(obj_);
  }

  // Takes over a new reference (NULL allowed, e.g. from a failed call).
  [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
    assert(!pass_unlocked_here() && "reference taken without the lock");
    Py_XINCREF(obj);
    return Ref(obj);
  }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (usually back to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Holds a buffer view and always releases it, on every path out of a scope.
class BufferGuard {
 public:
  BufferGuard() noexcept = default;
  BufferGuard(const BufferGuard&) = delete;
  BufferGuard& operator=(const BufferGuard&) = delete;
  ~BufferGuard() { release(); }

  // PyObject_GetBuffer into this guard; -1 with an exception set on failure.
  [[nodiscard]] int acquire(PyObject* exporter, int flags) noexcept {
    release();
    if (PyObject_GetBuffer(exporter, &view_, flags) < 0) return -1;
    held_ = true;
    return 0;
  }
  void release() noexcept {
    if (held_) {
      assert(!pass_unlocked_here() && "buffer released without the lock");
      held_ = false;
      PyBuffer_Release(&view_);
    }
  }
  [[nodiscard]] bool held() const noexcept { return held_; }
  [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace varnex::python
