// Replaces global operator new so tests can show that a code path allocates nothing.
#include <atomic>
#include <cstdlib>
#include <new>

namespace varnex::path::testing_support {
std::atomic<long> g_allocations{0};
}  // namespace varnex::path::testing_support

void* operator new(std::size_t n) {
  varnex::path::testing_support::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
