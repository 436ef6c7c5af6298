// Plumbing shared by every iterator class: the exclusive-use flag, __iter__,
// the guarded __next__, and allocation of iterator objects.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// A cursor's guard: __next__ takes it exclusively, __iter__ shares it for an
// instant. A taker that finds it busy fails at once instead of waiting, so a
// re-entered __next__ can never see a half-advanced cursor.
class BorrowFlag {
 public:
  [[nodiscard]] bool try_exclusive() noexcept {
    int expected = kFree;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(kFree, std::memory_order_release); }

  [[nodiscard]] bool try_shared() noexcept {
    int current = state_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) return false;
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr int kFree = 0;
  static constexpr int kExclusive = -1;  // positive values count shared holders
  std::atomic<int> state_{kFree};
};

// Holds the flag exclusively for one scope; cleared on every way out.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag), held_(flag.try_exclusive()) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (held_) flag_.release_exclusive();
  }
  explicit operator bool() const noexcept { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

// An iterator object: the interpreter's header, the flag, then the C++ state.
template <class State>
struct IterObject {
  PyObject ob_base;  // PyObject_HEAD
  BorrowFlag flag;
  State state;
};

template <class State>
IterObject<State>* as_iter(PyObject* self) noexcept {
  return reinterpret_cast<IterObject<State>*>(self);
}

// Returns a new reference to an iterator of `type` owning `state`, or NULL
// with an exception set. `type` is borrowed.
template <class State>
Ref make_iter(PyTypeObject* type, State&& state) noexcept {
  PyObject* self = alloc_instance(type);
  if (self == nullptr) return {};
  auto* it = as_iter<State>(self);
  new (&it->flag) BorrowFlag();
  // Moving the state cannot throw: it is made of vectors, strings and Refs.
  new (&it->state) State(std::move(state));
  return Ref::steal(self);
}

// tp_dealloc: drops the C++ state, frees the object, then drops the type.
template <class State>
void iter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  auto* it = as_iter<State>(self);
  it->state.~State();
  it->flag.~BorrowFlag();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// tp_iter: the iterator itself, unless its __next__ is running right now.
template <class State>
PyObject* iter_self(PyObject* self) noexcept {
  BorrowFlag& flag = as_iter<State>(self)->flag;
  if (!flag.try_shared()) {
    raise(Message::AlreadyMutablyBorrowed);
    return nullptr;
  }
  Py_INCREF(self);
  flag.release_shared();
  return self;
}

// tp_iternext body: runs `step(state)` holding the flag. `step` returns a
// new reference, or NULL (with an exception set, or without one to stop).
template <class State, class Step>
PyObject* guarded_next(PyObject* self, Step&& step) noexcept {
  auto* it = as_iter<State>(self);
  ExclusiveBorrow borrow(it->flag);
  if (!borrow) {
    raise(Message::AlreadyBorrowed);
    return nullptr;
  }
  return call_guarded([&]() -> PyObject* { return step(it->state); });
}

}  // namespace varnex::python
