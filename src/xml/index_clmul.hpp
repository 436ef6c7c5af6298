// What the wide classifiers share: files built for PCLMUL and POPCNT include this, inside their
// own unnamed namespace's reach (it is theirs alone, compiled for each instruction set).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace varnex::xml::detail {
namespace {

struct ClmulBits {
  [[gnu::always_inline]] static size_t popcount(uint64_t x) noexcept {
    return static_cast<size_t>(__builtin_popcountll(x));
  }
  // Carry-less multiplication by all ones is a prefix xor in one instruction.
  [[gnu::always_inline]] static uint64_t prefix_xor(uint64_t x) noexcept {
    const __m128i r =
        _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(r));
  }
};

}  // namespace
}  // namespace varnex::xml::detail
