// The AVX2 kernel of stage 1. This file alone is built for AVX2 (and BMI, BMI2, PCLMUL,
// POPCNT); it runs only where index_path_usable(IndexPath::Avx2) said so.
#include "xml/index.hpp"

#if defined(VARNEX_INDEX_AVX2)
#include <immintrin.h>

#include "xml/index_clmul.hpp"
#include "xml/index_impl.hpp"

namespace varnex::xml::detail {
namespace {

struct Avx2Classifier : ClmulBits {
  [[gnu::always_inline]] static RawMarks classify(const char* p) noexcept {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const auto bits = [](__m256i l, __m256i h) {
      return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(l))) |
             static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h))) << 32;
    };
    return RawMarks::of(
        [&](char c) {
          const __m256i v = _mm256_set1_epi8(c);
          return bits(_mm256_cmpeq_epi8(lo, v), _mm256_cmpeq_epi8(hi, v));
        },
        [&](char c, char d) {
          const __m256i v = _mm256_set1_epi8(c);
          const __m256i w = _mm256_set1_epi8(d);
          return bits(_mm256_or_si256(_mm256_cmpeq_epi8(lo, v), _mm256_cmpeq_epi8(lo, w)),
                      _mm256_or_si256(_mm256_cmpeq_epi8(hi, v), _mm256_cmpeq_epi8(hi, w)));
        });
  }
  [[gnu::always_inline]] static uint64_t byte_mask(const char* p, char c) noexcept {
    const __m256i v = _mm256_set1_epi8(c);
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    return static_cast<uint64_t>(
               static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v)))) |
           static_cast<uint64_t>(
               static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v))))
               << 32;
  }
};

}  // namespace

IndexKernels avx2_kernels() noexcept { return kernels_of<Avx2Classifier>(); }

}  // namespace varnex::xml::detail

#endif
