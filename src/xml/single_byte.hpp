// The tables of the single-byte encodings.
#pragma once

#include <cstdint>

#include "xml/encoding.hpp"

namespace varnex::xml {

// The code points of bytes 80-FF in `enc` (128 entries, 0 where a byte has none), or null
// when `enc` is not a single-byte encoding with a table.
[[nodiscard]] const uint16_t* single_byte_table(Encoding enc) noexcept;

}  // namespace varnex::xml
