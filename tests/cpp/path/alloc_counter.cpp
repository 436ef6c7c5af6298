// Replaces global operator new so tests can show that a code path allocates
// nothing, and how many heap bytes are live.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace varnex::path::testing_support {
std::atomic<long> g_allocations{0};
std::atomic<long> g_live_bytes{0};
}  // namespace varnex::path::testing_support

namespace {

void forget(void* p) noexcept {
  if (p == nullptr) return;
  varnex::path::testing_support::g_live_bytes.fetch_sub(static_cast<long>(malloc_usable_size(p)),
                                                        std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) {
  varnex::path::testing_support::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) {
    varnex::path::testing_support::g_live_bytes.fetch_add(
        static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { forget(p); }
void operator delete(void* p, std::size_t) noexcept { forget(p); }
