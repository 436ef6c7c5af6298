// The AVX2 kernel of stage 1. This file alone is built for AVX2 (and BMI, BMI2, PCLMUL,
// POPCNT); it runs only where index_path_usable(IndexPath::Avx2) said so.
#include "xml/index.hpp"

#if defined(VARNEX_INDEX_AVX2)
#include <immintrin.h>

#include "xml/index_impl.hpp"

namespace varnex::xml::detail {
namespace {

struct Avx2Classifier {
  [[gnu::always_inline]] static RawMarks classify(const char* p) noexcept {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const auto bits = [](__m256i l, __m256i h) {
      return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(l))) |
             static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h))) << 32;
    };
    const auto eq = [&](char c) {
      const __m256i v = _mm256_set1_epi8(c);
      return bits(_mm256_cmpeq_epi8(lo, v), _mm256_cmpeq_epi8(hi, v));
    };
    RawMarks m;
    m.lt = eq('<');
    m.gt = eq('>');
    m.dq = eq('"');
    m.quote = m.dq | eq('\'');
    m.slash = eq('/');
    const __m256i bang = _mm256_set1_epi8('!');
    const __m256i question = _mm256_set1_epi8('?');
    m.bang = bits(_mm256_or_si256(_mm256_cmpeq_epi8(lo, bang), _mm256_cmpeq_epi8(lo, question)),
                  _mm256_or_si256(_mm256_cmpeq_epi8(hi, bang), _mm256_cmpeq_epi8(hi, question)));
    return m;
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

size_t index_avx2(Index::State& s, IndexBlock* out, size_t cap) noexcept {
  return index_blocks<Avx2Classifier>(s, out, cap);
}

void skip_avx2(const char* base, size_t len, IndexCursor& c, std::string_view name,
               size_t* open) noexcept {
  index_skip_with<Avx2Classifier>(base, len, c, name, open);
}

bool names_avx2(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return index_names_with<Avx2Classifier>(base, len, first, last, first_lts, before, name);
}

}  // namespace varnex::xml::detail

#else

namespace varnex::xml::detail {
// Never picked where it is not built (index_path_usable says so).
size_t index_avx2(Index::State& s, IndexBlock* out, size_t cap) noexcept {
  return index_sse2(s, out, cap);
}
void skip_avx2(const char* base, size_t len, IndexCursor& c, std::string_view name,
               size_t* open) noexcept {
  skip_sse2(base, len, c, name, open);
}
bool names_avx2(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return names_sse2(base, len, first, last, first_lts, before, name);
}
}  // namespace varnex::xml::detail

#endif
