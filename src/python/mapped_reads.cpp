// The bus-error handler behind MappedRange, set once, and the ranges it answers for.
#include "python/mapped_reads.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <mutex>

namespace varnex::python {

bool replace_missing_pages(uintptr_t address) noexcept;

namespace {

// Ranges guarded on any thread: while there are none, a bus error is passed on at once.
std::atomic<size_t> g_guarded{0};
struct sigaction g_previous {};
uintptr_t g_page_size = 4096;

// Address ranges every thread sees, so that pages one thread replaces are known to the
// others reading the same bytes: the ranges guarded now, and the pages replaced by zeros
// now. An entry is free while `begin` is 0, and being filled while it is kClaimed.
struct Region {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> lost{false};            // a guarded range: pages in it were replaced meanwhile
  std::atomic<bool> for_good{false};        // zeroed pages: never moved back
  std::atomic<const void*> owner{nullptr};  // the thread (its ThreadReads) that claimed it
};
constexpr size_t kRegions = 256;
constexpr uintptr_t kClaimed = 1;
Region g_guarded_regions[kRegions];
Region g_zeroed_regions[kRegions];
// Zeroed entries claimed or about to be: while there are none, a guard need not look.
std::atomic<size_t> g_zeroed{0};

// An entry for [begin, end), claimed by this thread: its index + 1, or 0 when the table is
// full.
size_t claim(Region* table, uintptr_t begin, uintptr_t end) noexcept {
  for (size_t i = 0; i < kRegions; ++i) {
    uintptr_t expected = 0;
    if (table[i].begin.compare_exchange_strong(expected, kClaimed)) {
      table[i].lost.store(false);
      table[i].for_good.store(false);
      table[i].owner.store(&detail::t_reads);
      table[i].end.store(end);
      table[i].begin.store(begin);
      return i + 1;
    }
  }
  return 0;
}

void free_entry(Region* table, size_t entry) noexcept {
  if (entry == 0) return;
  table[entry - 1].end.store(0);
  table[entry - 1].begin.store(0);
}

// A zeroed entry is done with (`entry` 0: none was free).
void done_zeroing(size_t entry) noexcept {
  free_entry(g_zeroed_regions, entry);
  g_zeroed.fetch_sub(1);
}

bool overlaps(const Region& region, uintptr_t begin, uintptr_t end) noexcept {
  const uintptr_t from = region.begin.load();
  return from > kClaimed && from < end && begin < region.end.load();
}

bool any_overlaps(const Region* table, uintptr_t begin, uintptr_t end) noexcept {
  for (size_t i = 0; i < kRegions; ++i) {
    if (overlaps(table[i], begin, end)) return true;
  }
  return false;
}

// Passes a bus error that is not ours on as if this handler were not there.
void pass_on(int signo, siginfo_t* info, void* context) noexcept {
  if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
    g_previous.sa_sigaction(signo, info, context);
    return;
  }
  const auto handler = g_previous.sa_handler;
  if (handler != SIG_DFL && handler != SIG_IGN) {
    handler(signo);
    return;
  }
  const bool sent = info->si_code <= 0;  // by kill() or raise(), not by a fault
  if (handler == SIG_IGN && sent) return;
  // The default action: a fault comes back as this returns and ends the process as it
  // would have without us; a signal that was sent is sent again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
  if (sent) raise(signo);
}

void on_bus_error(int signo, siginfo_t* info, void* context) noexcept {
  const int saved_errno = errno;  // the code interrupted may be about to read it
  const bool ours = g_guarded.load() != 0 && info->si_code == BUS_ADRERR &&
                    replace_missing_pages(reinterpret_cast<uintptr_t>(info->si_addr));
  errno = saved_errno;
  if (!ours) pass_on(signo, info, context);
}

// Whether the handler is in place: set once, on the first range guarded.
bool install_handler() noexcept {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_page_size = static_cast<uintptr_t>(page);
    struct sigaction ours {};
    ours.sa_sigaction = on_bus_error;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    installed = sigaction(SIGBUS, &ours, &g_previous) == 0;
  });
  return installed;
}

// Moves the pages [page, page + *size) aside, keeping them mapped there as they are; where
// they are not all one mapping, fewer of them (*size shrinks). The address they went to, or
// 0 when they cannot be moved (a kernel before 5.13 cannot move pages of a file).
uintptr_t move_aside(uintptr_t page, size_t* size) noexcept {
  for (;;) {
    // glibc reads a new address for MREMAP_DONTUNMAP too: null, for the kernel to choose.
    void* aside = mremap(reinterpret_cast<void*>(page), *size, *size,
                         MREMAP_MAYMOVE | MREMAP_DONTUNMAP, nullptr);
    if (aside != MAP_FAILED) return reinterpret_cast<uintptr_t>(aside);
    if (errno != EFAULT || *size == g_page_size) return 0;
    const size_t half = (*size / 2) & ~(g_page_size - 1);
    *size = half < g_page_size ? g_page_size : half;
  }
}

}  // namespace

// In the handler, on the thread that faulted at `address`: when that lies in a range this
// thread guards, moves the missing page aside (with the rest of its mapping in the range,
// missing too) and maps zeros in its place. Only async-signal-safe calls.
bool replace_missing_pages(uintptr_t address) noexcept {
  detail::ThreadReads& reads = detail::t_reads;
  if (reads.scopes == 0) return false;
  MappedRange* range = reads.ranges;
  while (range != nullptr && (address < range->begin_ || address >= range->end_)) {
    range = range->next_;
  }
  if (range == nullptr) return false;
  const uintptr_t page = address & ~(g_page_size - 1);
  uintptr_t limit = (range->end_ + g_page_size - 1) & ~(g_page_size - 1);
  g_zeroed.fetch_add(1);
  const size_t entry = claim(g_zeroed_regions, page, limit);
  // Pages other threads are replacing are theirs: of two threads that claim at once, each
  // sees the other's entry at least.
  for (size_t i = 0; i < kRegions; ++i) {
    Region& other = g_zeroed_regions[i];
    const uintptr_t from = other.begin.load();
    if (i + 1 == entry || from <= kClaimed) continue;
    const bool covers = from <= page && page < other.end.load();
    if (covers && other.for_good.load()) {
      // Zeros for good do not fault: these are gone with the map they were in, and the
      // address is another map's now. Their entry goes, or this fault would loop.
      uintptr_t expected = from;
      if (other.begin.compare_exchange_strong(expected, kClaimed)) done_zeroing(i + 1);
      continue;
    }
    if (other.owner.load() == &detail::t_reads) continue;
    if (covers) {
      // Another thread is mapping zeros here: the read comes back and finds them.
      done_zeroing(entry);
      reads.faulted = true;
      return true;
    }
    if (from > page && from < limit) limit = from;  // theirs from there on
  }
  size_t size = limit - page;
  // Without an entry other threads would not know of these pages: only this one is
  // replaced, and never moved back.
  const uintptr_t aside =
      entry != 0 && range->nmoved_ < MappedRange::kMaxMoved ? move_aside(page, &size) : 0;
  if (aside == 0) size = g_page_size;  // zeros for this page, for good
  if (entry != 0) g_zeroed_regions[entry - 1].end.store(page + size);
  void* zeros = mmap(reinterpret_cast<void*>(page), size, range->protection_,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (zeros == MAP_FAILED) {
    if (aside != 0) {
      mremap(reinterpret_cast<void*>(aside), size, size, MREMAP_MAYMOVE | MREMAP_FIXED,
             reinterpret_cast<void*>(page));
    }
    done_zeroing(entry);
    return false;
  }
  if (aside != 0) {
    range->moved_[range->nmoved_++] = {page, aside, size, entry};
  } else if (entry == 0) {
    done_zeroing(entry);
  } else {
    g_zeroed_regions[entry - 1].for_good.store(true);
  }
  // Zeros for good keep their entry for good: a later read of these bytes, on any thread,
  // must learn of them rather than answer from them (it did, with what came before them).
  // Every range over these pages, on any thread, reads zeros there from now on.
  for (Region& guarded : g_guarded_regions) {
    if (overlaps(guarded, page, page + size)) guarded.lost.store(true);
  }
  reads.faulted = true;
  return true;
}

void MappedRange::guard(const void* data, size_t size, bool writable) noexcept {
  unguard();
  detail::ThreadReads& reads = detail::t_reads;
  assert(reads.scopes > 0 && "buffer bytes read outside call_guarded");
  if (size == 0 || reads.scopes == 0 || !install_handler()) return;
  begin_ = reinterpret_cast<uintptr_t>(data);
  end_ = begin_ + size;
  protection_ = PROT_READ | (writable ? PROT_WRITE : 0);
  nmoved_ = 0;
  g_guarded.fetch_add(1);
  entry_ = claim(g_guarded_regions, begin_, end_);
  // Pages of these bytes another thread has replaced by zeros read as zeros here too.
  if (g_zeroed.load() != 0 && any_overlaps(g_zeroed_regions, begin_, end_)) reads.faulted = true;
  next_ = reads.ranges;
  // The handler may look at the list at any instruction: the range is complete before it
  // is linked in.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  reads.ranges = this;
  guarding_ = true;
}

void MappedRange::unguard() noexcept {
  if (!guarding_) return;
  guarding_ = false;
  detail::ThreadReads& reads = detail::t_reads;
  MappedRange** link = &reads.ranges;
  while (*link != nullptr && *link != this) link = &(*link)->next_;
  if (*link == this) *link = next_;  // one store: the list is whole at every instruction
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // The file's pages go back where they were, over the zeros.
  for (size_t i = nmoved_; i-- > 0;) {
    const Moved& moved = moved_[i];
    void* back = mremap(reinterpret_cast<void*>(moved.aside), moved.size, moved.size,
                        MREMAP_MAYMOVE | MREMAP_FIXED, reinterpret_cast<void*>(moved.at));
    if (back == MAP_FAILED) munmap(reinterpret_cast<void*>(moved.aside), moved.size);
    done_zeroing(moved.zeroed_entry);
  }
  nmoved_ = 0;
  // A thread that mapped zeros over these bytes marks this range lost once it has them in
  // place; until it has, its entry is still there. Looking at both closes the gap where it
  // was stopped between finding this entry and marking it, and this read ended meanwhile.
  if (g_zeroed.load() != 0 && any_overlaps(g_zeroed_regions, begin_, end_)) reads.faulted = true;
  if (entry_ != 0) {
    if (g_guarded_regions[entry_ - 1].lost.load()) reads.faulted = true;
    free_entry(g_guarded_regions, entry_);
    entry_ = 0;
  }
  g_guarded.fetch_sub(1);
}

}  // namespace varnex::python
