// Stage 1: the chunk the reader walks, and the kernel picked once for this processor. The
// portable and SSE2 kernels live here; the AVX2 and AVX-512 ones in files of their own, each
// built for its instruction set.
#include "xml/index.hpp"

#include <atomic>
#include <cstring>

#include "xml/index_impl.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnex::xml::detail {
namespace {

#if defined(__SSE2__)
struct Sse2Classifier {
  [[gnu::always_inline]] static RawMarks classify(const char* p) noexcept {
    __m128i v[4];
    for (int k = 0; k < 4; ++k)
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const auto mask = [&](auto&& test) {
      uint64_t m = 0;
      for (int k = 0; k < 4; ++k) {
        m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(test(v[k]))))
             << (16 * k);
      }
      return m;
    };
    return RawMarks::of(
        [&](char c) {
          const __m128i b = _mm_set1_epi8(c);
          return mask([&](__m128i x) { return _mm_cmpeq_epi8(x, b); });
        },
        [&](char c, char d) {
          const __m128i b = _mm_set1_epi8(c);
          const __m128i e = _mm_set1_epi8(d);
          return mask(
              [&](__m128i x) { return _mm_or_si128(_mm_cmpeq_epi8(x, b), _mm_cmpeq_epi8(x, e)); });
        });
  }
  [[gnu::always_inline]] static uint64_t prefix_xor(uint64_t x) noexcept { return prefix_xor64(x); }
  [[gnu::always_inline]] static uint64_t byte_mask(const char* p, char c) noexcept {
    const __m128i v = _mm_set1_epi8(c);
    uint64_t m = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v))))
           << (16 * k);
    }
    return m;
  }
  [[gnu::always_inline]] static size_t popcount(uint64_t x) noexcept {
    return PortableClassifier::popcount(x);
  }
};
#endif

// A path the build lacks falls back to the portable kernels (index_path_usable never picks it).
IndexKernels kernels_for(IndexPath path) noexcept {
  switch (path) {
#if defined(VARNEX_INDEX_AVX512)
    case IndexPath::Avx512: return avx512_kernels();
#endif
#if defined(VARNEX_INDEX_AVX2)
    case IndexPath::Avx2: return avx2_kernels();
#endif
#if defined(__SSE2__)
    case IndexPath::Sse2: return kernels_of<Sse2Classifier>();
#endif
    default: break;
  }
  return kernels_of<PortableClassifier>();
}

IndexPath best_path() noexcept {
  if (index_path_usable(IndexPath::Avx512)) return IndexPath::Avx512;
  if (index_path_usable(IndexPath::Avx2)) return IndexPath::Avx2;
  if (index_path_usable(IndexPath::Sse2)) return IndexPath::Sse2;
  return IndexPath::Portable;
}

using Kernel = decltype(IndexKernels::index);
using Skip = decltype(IndexKernels::skip);
using Names = decltype(IndexKernels::names);
std::atomic<IndexPath> g_path{best_path()};
std::atomic<Kernel> g_kernel{kernels_for(g_path.load()).index};
std::atomic<Skip> g_skip{kernels_for(g_path.load()).skip};
std::atomic<Names> g_names{kernels_for(g_path.load()).names};

}  // namespace

void index_skip(const char* base, size_t len, IndexCursor& c, std::string_view name,
                size_t* open) noexcept {
  g_skip.load(std::memory_order_relaxed)(base, len, c, name, open);
}

bool index_names(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                 uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return g_names.load(std::memory_order_relaxed)(base, len, first, last, first_lts, before, name);
}

#if defined(VARNEX_INDEX_AVX2) || defined(VARNEX_INDEX_AVX512)
namespace {
// What the files of the wide kernels are built for besides their vectors.
bool bit_ops_usable() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("popcnt");
}
}  // namespace
#endif

bool index_path_named(std::string_view name, IndexPath* path) noexcept {
  for (const IndexPath p : kIndexPaths) {
    if (kIndexPathNames[static_cast<size_t>(p)] == name) {
      *path = p;
      return true;
    }
  }
  return false;
}

bool index_path_usable(IndexPath path) noexcept {
  switch (path) {
    case IndexPath::Portable: return true;
    case IndexPath::Sse2:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case IndexPath::Avx2:
#if defined(VARNEX_INDEX_AVX2)
      return bit_ops_usable() && __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case IndexPath::Avx512:
#if defined(VARNEX_INDEX_AVX512)
      // The builtin also asks the system whether it saves the 512-bit registers.
      return bit_ops_usable() && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw");
#else
      return false;
#endif
  }
  return false;
}

IndexPath index_path() noexcept { return g_path.load(std::memory_order_relaxed); }

void set_index_path(IndexPath path) noexcept {
  if (!index_path_usable(path)) path = best_path();
  g_path.store(path, std::memory_order_relaxed);
  g_kernel.store(kernels_for(path).index, std::memory_order_relaxed);
  g_skip.store(kernels_for(path).skip, std::memory_order_relaxed);
  g_names.store(kernels_for(path).names, std::memory_order_relaxed);
}

void Index::reset(const char* base, size_t len) noexcept {
  state_ = State{};
  state_.base = base;
  state_.len = len;
  size_ = 0;
}

void Index::reset_at(const char* base, size_t len, size_t from) noexcept {
  reset(base, len);
  state_.block = from & ~size_t{63};
  state_.from = from;
}

bool Index::next() noexcept {
  if (ended()) return false;
  size_ = g_kernel.load(std::memory_order_relaxed)(state_, blocks_, kBlocks);
  return true;
}

}  // namespace varnex::xml::detail
