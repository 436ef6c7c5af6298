// The AVX-512 kernel of stage 1: a 64-byte block compared against a byte in one instruction,
// its mask the block's bitmap as it stands (no movemask, shift and merge of two halves). This file
// alone is built for AVX-512BW (and BMI, BMI2, PCLMUL, POPCNT); it runs only where
// index_path_usable(IndexPath::Avx512) said so.
#include "xml/index.hpp"

#if defined(VARNEX_INDEX_AVX512)
#include <immintrin.h>

#include "xml/index_impl.hpp"

namespace varnex::xml::detail {
namespace {

struct Avx512Classifier {
  [[gnu::always_inline]] static RawMarks classify(const char* p) noexcept {
    const __m512i v = _mm512_loadu_si512(p);
    const auto eq = [&](char c) {
      return static_cast<uint64_t>(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)));
    };
    RawMarks m;
    m.lt = eq('<');
    m.gt = eq('>');
    m.dq = eq('"');
    m.quote = m.dq | eq('\'');
    m.slash = eq('/');
    m.bang = eq('!') | eq('?');
    return m;
  }
  [[gnu::always_inline]] static uint64_t byte_mask(const char* p, char c) noexcept {
    return static_cast<uint64_t>(
        _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), _mm512_set1_epi8(c)));
  }
  [[gnu::always_inline]] static size_t popcount(uint64_t x) noexcept {
    return static_cast<size_t>(__builtin_popcountll(x));
  }
  [[gnu::always_inline]] static uint64_t prefix_xor(uint64_t x) noexcept {
    const __m128i r =
        _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(r));
  }
};

}  // namespace

size_t index_avx512(Index::State& s, IndexBlock* out, size_t cap) noexcept {
  return index_blocks<Avx512Classifier>(s, out, cap);
}

void skip_avx512(const char* base, size_t len, IndexCursor& c, std::string_view name,
                 size_t* open) noexcept {
  index_skip_with<Avx512Classifier>(base, len, c, name, open);
}

bool names_avx512(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                  uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return index_names_with<Avx512Classifier>(base, len, first, last, first_lts, before, name);
}

}  // namespace varnex::xml::detail

#else

namespace varnex::xml::detail {
// Never picked where it is not built (index_path_usable says so).
size_t index_avx512(Index::State& s, IndexBlock* out, size_t cap) noexcept {
  return index_avx2(s, out, cap);
}
void skip_avx512(const char* base, size_t len, IndexCursor& c, std::string_view name,
                 size_t* open) noexcept {
  skip_avx2(base, len, c, name, open);
}
bool names_avx512(const char* base, size_t len, const IndexBlock* first, const IndexBlock* last,
                  uint64_t first_lts, size_t before, std::string_view name) noexcept {
  return names_avx2(base, len, first, last, first_lts, before, name);
}
}  // namespace varnex::xml::detail

#endif
