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
    RawMarks m;
    m.lt = mask([](__m128i x) { return _mm_cmpeq_epi8(x, _mm_set1_epi8('<')); });
    m.gt = mask([](__m128i x) { return _mm_cmpeq_epi8(x, _mm_set1_epi8('>')); });
    m.dq = mask([](__m128i x) { return _mm_cmpeq_epi8(x, _mm_set1_epi8('"')); });
    m.quote = m.dq | mask([](__m128i x) { return _mm_cmpeq_epi8(x, _mm_set1_epi8('\'')); });
    m.slash = mask([](__m128i x) { return _mm_cmpeq_epi8(x, _mm_set1_epi8('/')); });
    m.bang = mask([](__m128i x) {
      return _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('!')),
                          _mm_cmpeq_epi8(x, _mm_set1_epi8('?')));
    });
    return m;
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

using Kernel = size_t (*)(Index::State&, IndexBlock*, size_t) noexcept;
using Skip = void (*)(const char*, size_t, IndexCursor&, std::string_view, size_t*) noexcept;

using Names = bool (*)(const char*, size_t, const IndexBlock*, const IndexBlock*, uint64_t, size_t,
                       std::string_view) noexcept;

struct Kernels {
  Kernel index;
  Skip skip;
  Names names;
};

Kernels kernels_for(IndexPath path) noexcept {
  switch (path) {
    case IndexPath::Avx512: return {index_avx512, skip_avx512, names_avx512};
    case IndexPath::Avx2: return {index_avx2, skip_avx2, names_avx2};
    case IndexPath::Sse2: return {index_sse2, skip_sse2, names_sse2};
    case IndexPath::Portable: break;
  }
  return {index_portable, skip_portable, names_portable};
}

IndexPath best_path() noexcept {
  if (index_path_usable(IndexPath::Avx512)) return IndexPath::Avx512;
  if (index_path_usable(IndexPath::Avx2)) return IndexPath::Avx2;
  if (index_path_usable(IndexPath::Sse2)) return IndexPath::Sse2;
  return IndexPath::Portable;
}

std::atomic<IndexPath> g_path{best_path()};
std::atomic<Kernel> g_kernel{kernels_for(g_path.load()).index};
std::atomic<Skip> g_skip{kernels_for(g_path.load()).skip};
std::atomic<Names> g_names{kernels_for(g_path.load()).names};

}  // namespace

size_t index_portable(Index::State& s, IndexBlock* out, size_t cap) noexcept {
  return index_blocks<PortableClassifier>(s, out, cap);
}

size_t index_sse2(Index::State& s, IndexBlock* out, size_t cap) noexcept {
#if defined(__SSE2__)
  return index_blocks<Sse2Classifier>(s, out, cap);
#else
  return index_portable(s, out, cap);
#endif
}

void skip_portable(const char* base, size_t len, IndexCursor& c, std::string_view name,
                   size_t* open) noexcept {
  index_skip_with<PortableClassifier>(base, len, c, name, open);
}

void skip_sse2(const char* base, size_t len, IndexCursor& c, std::string_view name,
               size_t* open) noexcept {
#if defined(__SSE2__)
  index_skip_with<Sse2Classifier>(base, len, c, name, open);
#else
  skip_portable(base, len, c, name, open);
#endif
}

void index_skip(const char* base, size_t len, IndexCursor& c, std::string_view name,
                size_t* open) noexcept {
  g_skip.load(std::memory_order_relaxed)(base, len, c, name, open);
}

bool names_portable(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                    uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return index_names_with<PortableClassifier>(base, len, first, last, first_lts, before, name);
}

bool names_sse2(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                uint64_t first_lts, size_t before, std::string_view name) noexcept {
#if defined(__SSE2__)
  return index_names_with<Sse2Classifier>(base, len, first, last, first_lts, before, name);
#else
  return names_portable(base, len, first, last, first_lts, before, name);
#endif
}

bool index_names(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                 uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return g_names.load(std::memory_order_relaxed)(base, len, first, last, first_lts, before, name);
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
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("pclmul") &&
             __builtin_cpu_supports("popcnt");
#else
      return false;
#endif
    case IndexPath::Avx512:
#if defined(VARNEX_INDEX_AVX512)
      // The builtin also asks the system whether it saves the 512-bit registers.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
             __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("popcnt");
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
