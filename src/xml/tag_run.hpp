// Counting runs of ordinary tags for the skip, 64 bytes at a time, with a
// wider vector path picked once at run time where the processor has it.
// Internal to src/xml.
#pragma once

#include <cstddef>

#include "xml/scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARNEX_XML_HAS_AVX2_PATH 1
#endif

namespace varnex::xml::detail {

struct TagRunEnd {
  size_t pos = 0;     // just past the last tag counted (the start if none)
  size_t open = 0;    // open elements there
  size_t resume = 0;  // take tags one by one up to here before the next run
};

// From `pos`, which is in text and has at least 128 bytes after it, counts
// start, end and empty tags into `open` until something needs the
// tag-by-tag path (see run_tag_block) or too few bytes are left.
// `first` is the first byte of the name being skipped.
[[nodiscard]] TagRunEnd run_tags(const char* base, size_t len, size_t pos, size_t open,
                                 char first) noexcept;

[[nodiscard]] TagRunEnd run_tags_portable(const char* base, size_t len, size_t pos, size_t open,
                                          char first) noexcept;

#if defined(VARNEX_XML_HAS_AVX2_PATH)
[[nodiscard]] bool avx2_usable() noexcept;
// Only where avx2_usable().
void classify_tags_avx2(const char* p, char first, TagMarks* m) noexcept;
[[nodiscard]] TagRunEnd run_tags_avx2(const char* base, size_t len, size_t pos, size_t open,
                                      char first) noexcept;
#endif

}  // namespace varnex::xml::detail
