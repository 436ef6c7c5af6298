// Which sources a pass may read without the interpreter lock, and the release itself.
#include "python/unlocked.hpp"

#include <pthread.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <thread>

#include "python/mapped_file.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"

namespace varnex::python {
namespace {

// Passes running without the lock, and whether the interpreter has begun to
// exit. Both change only while the lock is held.
std::atomic<size_t> g_unlocked_passes{0};
std::atomic<bool> g_exiting{false};

// Whether the memory of `view` lies inside `bytes`'s own storage, which never changes.
bool is_inside_bytes(PyObject* bytes, const Py_buffer& view) noexcept {
  const char* data = PyBytes_AsString(bytes);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  const auto* begin = static_cast<const char*>(view.buf);
  return begin >= data && view.len >= 0 && view.len <= PyBytes_Size(bytes) - (begin - data);
}

// The deallocator of the mmap class, once that module is loaded (an mmap cannot exist
// before). A function of the process, not an object of one interpreter: every
// interpreter's mmap class has it, and it is what tells an mmap from its subclasses. No
// exception is left set.
void* mmap_dealloc() noexcept {
  static std::atomic<void*> dealloc{nullptr};
  if (void* known = dealloc.load(std::memory_order_relaxed)) return known;
  Ref name = Ref::steal(PyUnicode_FromString("mmap"));
  Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
  Ref type = Ref::steal(module ? PyObject_GetAttrString(module.get(), "mmap") : nullptr);
  PyErr_Clear();
  if (!type || !PyType_Check(type.get())) return nullptr;
  void* found = PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type.get()), Py_tp_dealloc);
  dealloc.store(found, std::memory_order_relaxed);
  return found;
}

// The name "obj" interned, for a caller without the module state (a Result reading its source
// again). The main interpreter's (its id is 0) is kept, made there and used there only; any
// other interpreter's is interned for the call and held in `owned`. NULL with an exception set.
PyObject* obj_name_here(Ref& owned) noexcept {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) {
    static PyObject* const main_name = PyUnicode_InternFromString("obj");
    return main_name;
  }
  owned = Ref::steal(PyUnicode_InternFromString("obj"));
  return owned.get();
}

// A map opened for reading only: its memory cannot be written from this
// process, and while a view is held it can be neither closed nor resized.
// Only the class itself: a subclass may hand out any memory as its buffer.
// A read-only view taken from the map itself (`direct`) settles it, since a
// map marks its views read-only exactly when it was opened so; one taken
// through a memoryview may have been made read-only there, so the map is
// asked for a writable view.
bool is_read_only_mmap(PyObject* obj, bool direct) noexcept {
  void* dealloc = mmap_dealloc();
  if (dealloc == nullptr || PyType_GetSlot(Py_TYPE(obj), Py_tp_dealloc) != dealloc) return false;
  if (direct) return true;
  BufferGuard writable;
  if (writable.acquire(obj, PyBUF_WRITABLE) == 0) return false;
  PyErr_Clear();
  return true;
}

}  // namespace

bool is_immutable_source(PyObject* source, const Py_buffer* view,
                         const ModuleState* state) noexcept {
  if (view == nullptr) return PyBytes_Check(source) || PyUnicode_Check(source);
  // A read-only flag only says that this view may not write: the owner of
  // the memory, found through any memoryviews, must be one that never does.
  if (!view->readonly) return false;
  PyObject* owner = source;
  Ref base;
  if (PyMemoryView_Check(source)) {
    Ref owned_name;
    PyObject* name = state != nullptr ? state->name(Name::Obj) : obj_name_here(owned_name);
    base = Ref::steal(name != nullptr ? PyObject_GetAttr(source, name) : nullptr);
    if (!base) {
      PyErr_Clear();
      return false;
    }
    owner = base.get();
  }
  if (PyBytes_Check(owner)) return is_inside_bytes(owner, *view);
  if (is_mapped_file(owner)) return true;
  return is_read_only_mmap(owner, owner == source);
}

bool UnlockedPass::would_release(bool immutable, size_t size) noexcept {
  return immutable && size >= kUnlockedPassMinBytes && !g_exiting.load();
}

UnlockedPass::UnlockedPass(bool immutable, size_t size) noexcept {
  assert(!pass_unlocked_here() && "passes do not nest");
  if (!would_release(immutable, size)) return;
  g_unlocked_passes.fetch_add(1);
  saved_ = PyEval_SaveThread();
  detail::t_pass_unlocked = true;
}

UnlockedPass::~UnlockedPass() {
  if (saved_ == nullptr) return;
  detail::t_pass_unlocked = false;
  PyEval_RestoreThread(saved_);
  g_unlocked_passes.fetch_sub(1);
}

UnlockedPass::Relock::Relock(UnlockedPass& pass) noexcept : pass_(pass) {
  if (pass_.saved_ == nullptr) return;
  detail::t_pass_unlocked = false;
  PyEval_RestoreThread(pass_.saved_);
  taken_ = true;
}

UnlockedPass::Relock::~Relock() {
  if (!taken_) return;
  if (g_exiting.load()) {
    // The exit waits for passes without the lock: this one keeps it from here on.
    pass_.saved_ = nullptr;
    g_unlocked_passes.fetch_sub(1);
    return;
  }
  pass_.saved_ = PyEval_SaveThread();
  detail::t_pass_unlocked = true;
}

namespace {

// Run by atexit, before the interpreter starts to tear itself down. A thread
// that asks for the lock after that point is ended on the spot (pthread_exit),
// and ending it inside a pass would unwind through noexcept frames and abort
// the process. So no pass gives up the lock from here on, and those that
// already have take it back before the exit goes on.
// Only the main interpreter's exit (its id is 0) counts: a sub-interpreter ends as its last
// thread, so none of its passes can be under way, and the others' passes go on.
PyObject* wait_for_unlocked_passes(PyObject*, PyObject*) noexcept {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) Py_RETURN_NONE;
  g_exiting.store(true);
  if (g_unlocked_passes.load() != 0) {
    PyThreadState* saved = PyEval_SaveThread();
    while (g_unlocked_passes.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    PyEval_RestoreThread(saved);
  }
  Py_RETURN_NONE;
}

PyMethodDef kWaitDef = {"_wait_for_unlocked_passes", wait_for_unlocked_passes, METH_NOARGS,
                        nullptr};

// Only the forking thread lives on in a child, and it holds the lock.
void forget_passes_in_child() noexcept { g_unlocked_passes.store(0); }

}  // namespace

bool register_exit_wait() noexcept {
  static const bool fork_hook = pthread_atfork(nullptr, nullptr, forget_passes_in_child) == 0;
  if (!fork_hook) {
    raise(Message::ForkHandler);
    return false;
  }
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref wait = Ref::steal(atexit ? PyCFunction_New(&kWaitDef, nullptr) : nullptr);
  Ref registered =
      Ref::steal(wait ? PyObject_CallMethod(atexit.get(), "register", "O", wait.get()) : nullptr);
  return static_cast<bool>(registered);
}

}  // namespace varnex::python
