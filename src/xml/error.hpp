// What the reader reports when markup breaks the rules it reads by.
#pragma once

#include <cstdint>

namespace varnex::xml {

enum class ErrorKind : uint8_t {
  None,
  // Syntax errors: fatal, the reader reports Eof afterwards.
  UnclosedTag,
  InvalidBangMarkup,
  UnclosedComment,
  UnclosedCData,
  UnclosedDoctype,
  UnclosedPIOrXmlDecl,
  // Ill-formed errors: recoverable, reading may go on.
  MismatchedEndTag,
  UnmatchedEndTag,
  MissingDoctypeName,
  MissingEndTag,  // only from read_to_end
};

[[nodiscard]] constexpr bool is_fatal(ErrorKind k) noexcept {
  return k >= ErrorKind::UnclosedTag && k <= ErrorKind::UnclosedPIOrXmlDecl;
}

}  // namespace varnex::xml
