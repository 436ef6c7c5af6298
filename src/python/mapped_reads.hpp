// Reads of a mapped file that shrinks under them: an error for the call, never a bus error.
//
// Reading a page of a mapped file past its end raises SIGBUS, which ends the process; files
// are rewritten in place by loggers, editors and producers, and another process (or thread)
// may truncate one while a pass reads its map. While a MappedRange guards a buffer's bytes on
// a thread inside a ReadScope, such a fault there does not end the process: the missing pages
// are moved aside and zeros mapped in their place, so the read, whatever code does it, goes
// on to its natural end and every destructor runs; the fault is recorded, and the call fails
// with Message::FileChanged instead of giving what it read. When the range is no longer guarded the
// file's pages are moved back, so the map is as it was: a later read of it meets the fault
// again. A thread guarding the same bytes meanwhile learns of it and fails too. A fault
// anywhere else goes to the handler that was there before.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnex::python {

class MappedRange;

namespace detail {
// This thread's guarded ranges and open scopes. Written by this thread only (the signal
// handler runs on the thread that faulted).
struct ThreadReads {
  MappedRange* ranges = nullptr;  // innermost first
  unsigned scopes = 0;
  bool faulted = false;  // pages read went missing since the innermost scope opened
};
inline thread_local ThreadReads t_reads;
}  // namespace detail

// Opened around the body of every entry point (call_guarded): what its reads of mapped
// memory met. Scopes nest; each sees only the faults of its own time.
class ReadScope {
 public:
  ReadScope() noexcept : outer_faulted_(detail::t_reads.faulted) {
    detail::t_reads.faulted = false;
    ++detail::t_reads.scopes;
  }
  ~ReadScope() {
    --detail::t_reads.scopes;
    detail::t_reads.faulted = outer_faulted_;
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

  // True when pages of a guarded range went missing since the scope opened.
  [[nodiscard]] bool faulted() const noexcept { return detail::t_reads.faulted; }

 private:
  bool outer_faulted_;
};

// Guards the bytes of one buffer on this thread, for as long as it lives or until
// unguard(). Not movable: the thread's list points to it.
class MappedRange {
 public:
  MappedRange() noexcept = default;
  MappedRange(const MappedRange&) = delete;
  MappedRange& operator=(const MappedRange&) = delete;
  ~MappedRange() { unguard(); }

  // Guards [data, data + size); `writable` when the memory may be written. Only inside a
  // ReadScope; does nothing where the handler cannot be set.
  void guard(const void* data, size_t size, bool writable) noexcept;
  // Puts back the pages moved aside, and records for the scope what happened meanwhile.
  void unguard() noexcept;

 private:
  friend bool replace_missing_pages(uintptr_t address) noexcept;

  // Pages moved aside: `size` bytes from `at`, now at `aside`.
  struct Moved {
    uintptr_t at = 0;
    uintptr_t aside = 0;
    size_t size = 0;
    size_t zeroed_entry = 0;  // its entry in the table of zeroed pages; 0: none
  };
  static constexpr size_t kMaxMoved = 8;

  MappedRange* next_ = nullptr;
  uintptr_t begin_ = 0;
  uintptr_t end_ = 0;
  int protection_ = 0;
  size_t entry_ = 0;  // its entry in the table of guarded ranges; 0: none
  Moved moved_[kMaxMoved];
  size_t nmoved_ = 0;
  bool guarding_ = false;
};

}  // namespace varnex::python
