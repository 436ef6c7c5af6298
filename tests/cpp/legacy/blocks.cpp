// The block paths: the portable one and its AVX2 twin, picked once at run time.
#include "legacy/blocks.hpp"

#include <atomic>

#if defined(VARNEX_LEGACY_HAS_AVX2_PATH)
#include <immintrin.h>
#endif

namespace varnex::legacy::detail {

BlockRunEnd skip_blocks_portable(const char* base, size_t len, size_t pos, size_t open,
                                 SkipTarget* target) noexcept {
  return skip_blocks_with<PortableBlock>(base, len, pos, open, target);
}

namespace {

size_t find_lt_portable(const char* base, size_t len, size_t at) noexcept {
  return find_lt_with<PortableBlock>(base, len, at);
}

size_t scan_blocks_portable(const char* base, size_t len, size_t at, BlockCarry* c,
                            ScannedBlock* out, size_t n) noexcept {
  return scan_blocks_with<PortableBlock>(base, len, at, c, out, n);
}

}  // namespace

#if defined(VARNEX_LEGACY_HAS_AVX2_PATH)

#define VARNEX_LEGACY_AVX2_TARGET gnu::target("avx2,popcnt,bmi,bmi2,pclmul")

bool avx2_usable() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("pclmul");
}

namespace {

// 64 bytes in two 256-bit halves. The functions that use it are flattened,
// so everything the shared templates call is compiled for AVX2 there.
class Avx2Block {
 public:
  [[VARNEX_LEGACY_AVX2_TARGET]] explicit Avx2Block(const char* p) noexcept
      : lo_(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))),
        hi_(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))) {}

  [[VARNEX_LEGACY_AVX2_TARGET]] uint64_t lt() const noexcept { return mask(_mm256_set1_epi8('<')); }

  [[VARNEX_LEGACY_AVX2_TARGET]] static bool has_lt(const char* p) noexcept {
    const __m256i lt = _mm256_set1_epi8('<');
    const __m256i any =
        _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), lt),
                        _mm256_cmpeq_epi8(
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), lt));
    return !_mm256_testz_si256(any, any);
  }

  [[VARNEX_LEGACY_AVX2_TARGET]] uint64_t gt() const noexcept { return mask(_mm256_set1_epi8('>')); }

  [[VARNEX_LEGACY_AVX2_TARGET]] void rest(char first, BlockMarks* m) const noexcept {
    const __m256i dq = _mm256_set1_epi8('"');
    const __m256i sq = _mm256_set1_epi8('\'');
    const __m256i dq_lo = _mm256_cmpeq_epi8(lo_, dq);
    const __m256i dq_hi = _mm256_cmpeq_epi8(hi_, dq);
    m->dq = bits(dq_lo, dq_hi);
    m->quote = bits(_mm256_or_si256(dq_lo, _mm256_cmpeq_epi8(lo_, sq)),
                    _mm256_or_si256(dq_hi, _mm256_cmpeq_epi8(hi_, sq)));
    m->stopper = bits(stoppers(lo_, first), stoppers(hi_, first));
    m->slash = mask(_mm256_set1_epi8('/'));
  }

  // Carry-less multiplication by all ones is a prefix xor in one instruction.
  [[VARNEX_LEGACY_AVX2_TARGET]] static uint64_t prefix_xor(uint64_t x) noexcept {
    const __m128i r =
        _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(r));
  }

  [[VARNEX_LEGACY_AVX2_TARGET]] static unsigned popcount(uint64_t x) noexcept {
    return static_cast<unsigned>(__builtin_popcountll(x));
  }

 private:
  [[VARNEX_LEGACY_AVX2_TARGET]] static uint64_t bits(__m256i lo, __m256i hi) noexcept {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(lo))) |
           static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi))) << 32;
  }
  [[VARNEX_LEGACY_AVX2_TARGET]] static __m256i stoppers(__m256i v, char first) noexcept {
    const __m256i special = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('!')),
                                            _mm256_cmpeq_epi8(v, _mm256_set1_epi8('?')));
    return _mm256_or_si256(special, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(first)));
  }
  [[VARNEX_LEGACY_AVX2_TARGET]] uint64_t mask(__m256i needle) const noexcept {
    return bits(_mm256_cmpeq_epi8(lo_, needle), _mm256_cmpeq_epi8(hi_, needle));
  }

  __m256i lo_;
  __m256i hi_;
};

}  // namespace

[[VARNEX_LEGACY_AVX2_TARGET, gnu::flatten]] void classify_avx2(const char* p, char first,
                                                            BlockMarks* m) noexcept {
  const Avx2Block b(p);
  m->lt = b.lt();
  m->gt = b.gt();
  b.rest(first, m);
}

[[VARNEX_LEGACY_AVX2_TARGET]] static uint64_t window_mask(__m256i lo, __m256i hi, char c) noexcept {
  const __m256i v = _mm256_set1_epi8(c);
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v)))) |
         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v))))
             << 32;
}

[[VARNEX_LEGACY_AVX2_TARGET, gnu::flatten]] void load_window_avx2(const char* p, Window* w) noexcept {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  w->lt = window_mask(lo, hi, '<');
  w->gt = window_mask(lo, hi, '>');
  w->dq = window_mask(lo, hi, '"');
  w->sq = window_mask(lo, hi, '\'');
}

[[VARNEX_LEGACY_AVX2_TARGET, gnu::flatten]] BlockRunEnd skip_blocks_avx2(const char* base, size_t len,
                                                                      size_t pos, size_t open,
                                                                      SkipTarget* target) noexcept {
  return skip_blocks_with<Avx2Block>(base, len, pos, open, target);
}

[[VARNEX_LEGACY_AVX2_TARGET, gnu::flatten]] static size_t scan_blocks_avx2(const char* base,
                                                                       size_t len, size_t at,
                                                                       BlockCarry* c,
                                                                       ScannedBlock* out,
                                                                       size_t n) noexcept {
  return scan_blocks_with<Avx2Block>(base, len, at, c, out, n);
}

[[VARNEX_LEGACY_AVX2_TARGET, gnu::flatten]] static size_t find_lt_avx2(const char* base, size_t len,
                                                                   size_t at) noexcept {
  return find_lt_with<Avx2Block>(base, len, at);
}

#else

bool avx2_usable() noexcept { return false; }
void load_window_avx2(const char*, Window*) noexcept {}

#endif

std::atomic<bool> window_avx2{avx2_usable()};

namespace {

std::atomic<BlockPath>& path_setting() noexcept {
  static std::atomic<BlockPath> path{avx2_usable() ? BlockPath::Avx2 : BlockPath::Portable};
  return path;
}

}  // namespace

BlockPath block_path() noexcept { return path_setting().load(std::memory_order_relaxed); }

void set_block_path(BlockPath path) noexcept {
  if (path == BlockPath::Avx2 && !avx2_usable()) return;
  path_setting().store(path, std::memory_order_relaxed);
  window_avx2.store(path == BlockPath::Avx2, std::memory_order_relaxed);
}

BlockRunEnd skip_blocks(const char* base, size_t len, size_t pos, size_t open,
                        SkipTarget* target) noexcept {
#if defined(VARNEX_LEGACY_HAS_AVX2_PATH)
  if (block_path() == BlockPath::Avx2) return skip_blocks_avx2(base, len, pos, open, target);
#endif
  return skip_blocks_portable(base, len, pos, open, target);
}

size_t scan_blocks(const char* base, size_t len, size_t at, BlockCarry* c, ScannedBlock* out,
                   size_t n) noexcept {
#if defined(VARNEX_LEGACY_HAS_AVX2_PATH)
  if (block_path() == BlockPath::Avx2) return scan_blocks_avx2(base, len, at, c, out, n);
#endif
  return scan_blocks_portable(base, len, at, c, out, n);
}

size_t find_lt(const char* base, size_t len, size_t at) noexcept {
#if defined(VARNEX_LEGACY_HAS_AVX2_PATH)
  if (block_path() == BlockPath::Avx2) return find_lt_avx2(base, len, at);
#endif
  return find_lt_portable(base, len, at);
}

}  // namespace varnex::legacy::detail
