// UTF-8 checking and the three decodings of text bytes: strict, lenient, lossy.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "python/ref.hpp"

namespace varnex::python {

// Where and how a byte string stops being UTF-8.
struct Utf8Error {
  size_t valid_up_to = 0;  // valid bytes before the fault
  uint8_t error_len =
      0;  // 1..3: length of the maximal invalid subsequence; 0: input ends mid-sequence
};

// Where the run of ASCII bytes that starts at `i` ends. ASCII dominates real text, so it is
// tested eight bytes at a time.
[[nodiscard]] inline size_t ascii_run_end(const unsigned char* p, size_t i, size_t n) noexcept {
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ULL) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

// Nothing when `bytes` is valid UTF-8 (surrogates and overlongs are invalid).
[[nodiscard]] std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

// Lenient reading: invalid UTF-8 counts as the empty text.
[[nodiscard]] inline std::string_view lenient_utf8(std::string_view bytes) noexcept {
  return check_utf8(bytes) ? std::string_view{} : bytes;
}

// Sets ValueError with the message for `error`.
void raise_utf8_error(const Utf8Error& error) noexcept;

// Returns a new reference to the decoded str, or NULL with ValueError set.
[[nodiscard]] Ref decode_strict(std::string_view bytes) noexcept;

// Returns a new reference; invalid sequences become U+FFFD as bytes.decode('utf-8', 'replace').
[[nodiscard]] Ref decode_lossy(std::string_view bytes) noexcept;

}  // namespace varnex::python
