// Runs of ordinary tags for the skip: the portable loop and its AVX2 twin.
#include "xml/tag_run.hpp"

#if defined(VARNEX_XML_HAS_AVX2_PATH)
#include <immintrin.h>
#endif

namespace varnex::xml::detail {

namespace {

// Where the run stopped in the block at `block`: what the caller resumes from.
[[gnu::always_inline]] inline bool settle(const TagBlock& r, size_t block, const TagRunCarry& c,
                                          TagRunEnd* end) noexcept {
  if (r.last_close >= 0) {
    end->pos = block + static_cast<size_t>(r.last_close) + 1;
    end->open = c.open;
  }
  if (r.stop != 64) {
    end->resume = block + r.stop + 1;
    return true;
  }
  return false;
}

[[gnu::always_inline]] inline void finish(size_t from, TagRunEnd* end) noexcept {
  // Little progress: take a block's worth of tags one by one first.
  if (end->pos - from < 64 && end->resume < from + 64) end->resume = from + 64;
}

}  // namespace

TagRunEnd run_tags_portable(const char* base, size_t len, size_t pos, size_t open,
                            char first) noexcept {
  TagRunEnd end{pos, open, pos};
  TagRunCarry carry;
  carry.open = open;
  TagMarks cur, next;
  classify_tags(base + pos, first, &cur);
  for (size_t block = pos;; cur = next) {
    classify_tags(base + block + 64, first, &next);
    if (settle(run_tag_block(cur, next, &carry), block, carry, &end)) break;
    block += 64;
    if (len - block < 128) {
      end.resume = block;
      break;
    }
  }
  finish(pos, &end);
  return end;
}

#if defined(VARNEX_XML_HAS_AVX2_PATH)

#define VARNEX_XML_AVX2_TARGET gnu::target("avx2,popcnt,bmi,bmi2,pclmul")

bool avx2_usable() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("pclmul");
}

namespace {

// Carry-less multiplication by all ones is a prefix xor in one instruction.
[[VARNEX_XML_AVX2_TARGET, gnu::always_inline]] inline uint64_t prefix_xor_clmul(
    uint64_t x) noexcept {
  const __m128i r =
      _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
  return static_cast<uint64_t>(_mm_cvtsi128_si64(r));
}

[[VARNEX_XML_AVX2_TARGET, gnu::always_inline]] inline uint64_t hits(__m256i lo, __m256i hi,
                                                                    __m256i needle) noexcept {
  const uint32_t low = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, needle)));
  const uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, needle)));
  return static_cast<uint64_t>(low) | static_cast<uint64_t>(high) << 32;
}

[[VARNEX_XML_AVX2_TARGET, gnu::always_inline]] inline void classify_avx2(const char* p, char first,
                                                                         TagMarks* m) noexcept {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  m->lt = hits(lo, hi, _mm256_set1_epi8('<'));
  m->gt = hits(lo, hi, _mm256_set1_epi8('>'));
  m->dq = hits(lo, hi, _mm256_set1_epi8('"'));
  m->sq = hits(lo, hi, _mm256_set1_epi8('\''));
  m->slash = hits(lo, hi, _mm256_set1_epi8('/'));
  m->special = hits(lo, hi, _mm256_set1_epi8('!')) | hits(lo, hi, _mm256_set1_epi8('?'));
  m->first = hits(lo, hi, _mm256_set1_epi8(first));
  m->quote_parity = prefix_xor_clmul(m->dq | m->sq);
  m->dq_parity = prefix_xor_clmul(m->dq);
  m->sq_parity = prefix_xor_clmul(m->sq);
  const uint64_t angles = m->lt | m->gt;
  m->tag_parity = prefix_xor_clmul(angles & ~m->quote_parity);
  m->tag_parity_quoted = prefix_xor_clmul(angles & m->quote_parity);
}

}  // namespace

[[VARNEX_XML_AVX2_TARGET]] void classify_tags_avx2(const char* p, char first,
                                                   TagMarks* m) noexcept {
  classify_avx2(p, first, m);
}

// run_tags_portable with the wider classifier; the counting is shared.
[[VARNEX_XML_AVX2_TARGET]] TagRunEnd run_tags_avx2(const char* base, size_t len, size_t pos,
                                                   size_t open, char first) noexcept {
  TagRunEnd end{pos, open, pos};
  TagRunCarry carry;
  carry.open = open;
  TagMarks cur, next;
  classify_avx2(base + pos, first, &cur);
  for (size_t block = pos;; cur = next) {
    classify_avx2(base + block + 64, first, &next);
    if (settle(run_tag_block(cur, next, &carry), block, carry, &end)) break;
    block += 64;
    if (len - block < 128) {
      end.resume = block;
      break;
    }
  }
  finish(pos, &end);
  return end;
}

#endif

TagRunEnd run_tags(const char* base, size_t len, size_t pos, size_t open, char first) noexcept {
#if defined(VARNEX_XML_HAS_AVX2_PATH)
  static const bool wide = avx2_usable();
  if (wide) return run_tags_avx2(base, len, pos, open, first);
#endif
  return run_tags_portable(base, len, pos, open, first);
}

}  // namespace varnex::xml::detail
