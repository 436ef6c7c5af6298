// The three decodings of text bytes as Python values: strict and lossy.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/messages.hpp"
#include "python/ref.hpp"
#include "xml/encoding.hpp"

namespace varnex::python {

// The core's validator, which says where text stops being UTF-8.
using xml::check_utf8;
using xml::Utf8Error;

// Returns a new reference to the decoded str, or NULL with ValueError set.
[[nodiscard]] Ref decode_strict(std::string_view bytes) noexcept;

// Returns a new reference; invalid sequences become U+FFFD as bytes.decode('utf-8', 'replace').
[[nodiscard]] Ref decode_lossy(std::string_view bytes) noexcept;

}  // namespace varnex::python
