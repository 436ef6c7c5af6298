// Passes that run with the interpreter lock released, and the sources that allow it.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/module_state.hpp"

namespace varnex::python {

// Documents shorter than this are read with the lock held: for them, handing
// the lock over and taking it back costs more than another thread can gain.
inline constexpr size_t kUnlockedPassMinBytes = 16 * 1024;

// Whether no Python code can change the bytes of `source` while they are read:
// bytes, the UTF-8 form of a str, and a read-only `view` (when one was taken)
// whose memory belongs to a bytes object or a read-only mmap, directly or
// through memoryviews. Anything else (bytearray, array, a writable mmap, a
// read-only memoryview of a bytearray, exporters we do not know) keeps the lock.
// `state`, where one is at hand, has the names to look up.
[[nodiscard]] bool is_immutable_source(PyObject* source, const Py_buffer* view,
                                       const ModuleState* state = nullptr) noexcept;

// Releases the interpreter lock for its lifetime when `size` immutable bytes,
// at least kUnlockedPassMinBytes, are about to be read, and takes it back when
// it ends (also when an exception leaves the scope). Inside, only the engine
// runs: no Python object may be touched, no reference dropped.
class UnlockedPass {
 public:
  // The rule itself, for work that is worth doing only when the lock goes.
  [[nodiscard]] static bool would_release(bool immutable, size_t size) noexcept;

  UnlockedPass(bool immutable, size_t size) noexcept;
  ~UnlockedPass();
  UnlockedPass(const UnlockedPass&) = delete;
  UnlockedPass& operator=(const UnlockedPass&) = delete;

  // Takes the lock back for its lifetime, inside a pass that gave it up (and does nothing in
  // one that kept it): for work on Python objects between stretches of the pass, and for
  // checking signals. Once the interpreter has begun to exit, the rest of the pass keeps it.
  class Relock {
   public:
    explicit Relock(UnlockedPass& pass) noexcept;
    ~Relock();
    Relock(const Relock&) = delete;
    Relock& operator=(const Relock&) = delete;

   private:
    UnlockedPass& pass_;
    bool taken_ = false;
  };

 private:
  PyThreadState* saved_ = nullptr;
};

// Makes the interpreter's exit wait for passes running without the lock, and
// stops new ones from giving it up (registered with atexit once per module
// made). False with an exception set.
[[nodiscard]] bool register_exit_wait() noexcept;

namespace detail {
inline thread_local bool t_pass_unlocked = false;
}  // namespace detail

// True while this thread runs a pass without the lock: the types that touch
// Python objects assert that it is false.
[[nodiscard]] inline bool pass_unlocked_here() noexcept { return detail::t_pass_unlocked; }

}  // namespace varnex::python
