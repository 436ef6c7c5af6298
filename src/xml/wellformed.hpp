// The strict checker: XML 1.0 (fifth edition) well-formedness of a document entity in one
// pass, external entities never loaded, the first error located.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xml/encoding.hpp"

namespace varnex::xml {

// The rules a document can break; wf_message words each one.
enum class WfRule : uint8_t {
  None,
  // Characters and encodings.
  InvalidUtf8,
  InvalidEncodedByte,  // a byte sequence that is not valid in the declared encoding
  InvalidChar,
  EncodingMismatch,  // the declaration names another encoding than the bytes are in
  UnknownEncoding,
  // The XML declaration.
  MisplacedDecl,
  DeclSyntax,
  BadVersion,
  BadEncodingName,
  BadStandalone,
  // The document's structure.
  NoRoot,
  TextOutsideRoot,
  SecondRoot,
  MisplacedDoctype,
  MisplacedCData,
  UnclosedElement,
  MismatchedEndTag,
  StrayEndTag,
  // Tags and attributes.
  ExpectedName,
  BadTagEnd,
  ExpectedEq,
  ExpectedQuote,
  UnclosedTag,
  UnclosedAttrValue,
  LtInAttrValue,
  DuplicateAttr,
  DuplicateExpandedAttr,
  // Text and references.
  CDataEndInText,
  BadReference,
  BadCharRef,
  UndeclaredEntity,
  UnparsedEntityRef,
  ExternalEntityInAttr,
  LtInAttrEntity,
  RecursiveEntity,
  UnbalancedEntity,
  EntityTooDeep,
  // Comments, processing instructions, CDATA sections.
  DoubleHyphenInComment,
  UnclosedComment,
  ReservedPiTarget,
  BadPi,
  UnclosedPi,
  UnclosedCData,
  BadMarkup,
  // The document type declaration.
  BadDoctype,
  UnclosedDoctype,
  BadMarkupDecl,
  PeInMarkupDecl,
  BadLiteral,
  BadPubidChar,
};

struct WfError {
  WfRule rule = WfRule::None;
  size_t offset = 0;        // into the checked bytes
  std::string detail;       // the name, label or text the message quotes
  std::string other;        // a second one (the start tag an end tag does not match)
  uint32_t code_point = 0;  // InvalidChar, BadCharRef
  std::string entity;       // set when the error lies in the replacement text of this entity

  [[nodiscard]] bool ok() const noexcept { return rule == WfRule::None; }
};

// Where the checked bytes came from.
struct WfSource {
  // The encoding the caller's bytes were decoded from into the UTF-8 that is checked; UTF-8
  // when they are checked as they are.
  Encoding encoding = Encoding::Utf8;
  // The byte-order mark in front of the caller's bytes: 3 for UTF-8 (the checked bytes still
  // hold it when they are the caller's, and UTF-8 bytes may start with it anyway), 2 for
  // UTF-16 (decoded away), else 0.
  size_t mark = 0;
  // A Python str: text already, so there are no bytes for a declared encoding to describe.
  bool is_text = false;
};

// Checks that `doc`, UTF-8, is a well-formed XML 1.0 document; the first broken rule, or
// ok(). Entities declared in the internal subset are checked where they are referenced;
// external ones are never read. May throw bad_alloc.
[[nodiscard]] WfError check_well_formed(std::string_view doc, const WfSource& source = {});

// The message for `error`: the rule broken, quoting what broke it.
[[nodiscard]] std::string wf_message(const WfError& error);

}  // namespace varnex::xml
