// The AVX-512 kernel of stage 1: a 64-byte block compared against a byte in one instruction,
// its mask the block's bitmap as it stands (no movemask, shift and merge of two halves). This file
// alone is built for AVX-512BW (and BMI, BMI2, PCLMUL, POPCNT); it runs only where
// index_path_usable(IndexPath::Avx512) said so.
#include "xml/index.hpp"

#if defined(VARNEX_INDEX_AVX512)
#include <immintrin.h>

#include "xml/index_clmul.hpp"
#include "xml/index_impl.hpp"

namespace varnex::xml::detail {
namespace {

struct Avx512Classifier : ClmulBits {
  [[gnu::always_inline]] static RawMarks classify(const char* p) noexcept {
    const __m512i v = _mm512_loadu_si512(p);
    const auto eq = [&](char c) {
      return static_cast<uint64_t>(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)));
    };
    return RawMarks::of(eq, [&](char c, char d) { return eq(c) | eq(d); });
  }
  [[gnu::always_inline]] static uint64_t byte_mask(const char* p, char c) noexcept {
    return static_cast<uint64_t>(
        _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), _mm512_set1_epi8(c)));
  }
};

}  // namespace

IndexKernels avx512_kernels() noexcept { return kernels_of<Avx512Classifier>(); }

}  // namespace varnex::xml::detail

#endif
