// The strict checker's messages: one text per rule, {name}, {other} and {char} filled in from
// the error.
#include <cstdio>

#include "xml/wellformed.hpp"

namespace varnex::xml {
namespace {

struct RuleText {
  WfRule rule;
  const char* text;
};

// In the order of WfRule.
constexpr RuleText kTexts[] = {
    {WfRule::None, "well-formed"},
    {WfRule::InvalidUtf8, "invalid UTF-8 byte sequence"},
    {WfRule::InvalidEncodedByte, "byte sequence not valid in the declared encoding {name}"},
    {WfRule::InvalidChar, "character {char} is not allowed in XML"},
    {WfRule::EncodingMismatch, "the declaration names encoding {name} but the document is {other}"},
    {WfRule::UnknownEncoding, "unsupported encoding {name}"},
    {WfRule::MisplacedDecl, "the XML declaration is allowed only at the start of the document"},
    {WfRule::DeclSyntax,
     "malformed XML declaration: version, then encoding and standalone, then '?>'"},
    {WfRule::BadVersion, "version '{name}' is not 1.x"},
    {WfRule::BadEncodingName, "'{name}' is not an encoding name"},
    {WfRule::BadStandalone, "standalone must be 'yes' or 'no', not '{name}'"},
    {WfRule::NoRoot, "no root element"},
    {WfRule::TextOutsideRoot, "text outside the root element"},
    {WfRule::SecondRoot, "a second root element"},
    {WfRule::MisplacedDoctype, "the document type declaration must come once, before the root"},
    {WfRule::MisplacedCData, "CDATA section outside the root element"},
    {WfRule::UnclosedElement, "the document ends inside element '{name}'"},
    {WfRule::MismatchedEndTag, "end tag '{name}' does not match start tag '{other}'"},
    {WfRule::StrayEndTag, "end tag outside the root element"},
    {WfRule::ExpectedName, "a name was expected"},
    {WfRule::BadTagEnd, "expected white space, '>' or '/>' in the tag"},
    {WfRule::ExpectedEq, "attribute '{name}' is not followed by '='"},
    {WfRule::ExpectedQuote, "the value of attribute '{name}' is not quoted"},
    {WfRule::UnclosedTag, "tag '{name}' is not closed"},
    {WfRule::UnclosedAttrValue, "attribute value not closed"},
    {WfRule::LtInAttrValue, "'<' in an attribute value"},
    {WfRule::DuplicateAttr, "attribute '{name}' appears twice in the tag"},
    {WfRule::DuplicateExpandedAttr,
     "attribute '{name}' repeats another one's namespace and local name in the tag"},
    {WfRule::CDataEndInText, "']]>' in text"},
    {WfRule::BadReference, "'&' must start a reference such as '&amp;'"},
    {WfRule::BadCharRef, "character reference '{name}' is not a character allowed in XML"},
    {WfRule::UndeclaredEntity, "entity '{name}' is not declared"},
    {WfRule::UnparsedEntityRef, "entity '{name}' is an unparsed (NDATA) entity"},
    {WfRule::ExternalEntityInAttr, "external entity '{name}' in an attribute value"},
    {WfRule::LtInAttrEntity, "entity '{name}' puts '<' in an attribute value"},
    {WfRule::RecursiveEntity, "entity '{name}' refers to itself"},
    {WfRule::UnbalancedEntity, "the replacement text of an entity does not close what it opens"},
    {WfRule::EntityTooDeep, "entities nested too deeply at '{name}'"},
    {WfRule::DoubleHyphenInComment, "'--' in a comment"},
    {WfRule::UnclosedComment, "comment not closed"},
    {WfRule::ReservedPiTarget, "processing instruction target '{name}' is reserved"},
    {WfRule::BadPi, "processing instruction target '{name}' is not followed by white space"},
    {WfRule::UnclosedPi, "processing instruction not closed"},
    {WfRule::UnclosedCData, "CDATA section not closed"},
    {WfRule::BadMarkup, "unknown markup after '<!'"},
    {WfRule::BadDoctype, "malformed document type declaration"},
    {WfRule::UnclosedDoctype, "document type declaration not closed"},
    {WfRule::BadMarkupDecl, "malformed markup declaration in the internal subset"},
    {WfRule::PeInMarkupDecl,
     "parameter entity reference inside a markup declaration of the internal subset"},
    {WfRule::BadLiteral, "literal not closed"},
    {WfRule::BadPubidChar, "character not allowed in a public identifier"},
};
static_assert(std::size(kTexts) == static_cast<size_t>(WfRule::BadPubidChar) + 1);

constexpr bool texts_in_order() {
  for (size_t i = 0; i < std::size(kTexts); ++i) {
    if (static_cast<size_t>(kTexts[i].rule) != i) return false;
  }
  return true;
}
static_assert(texts_in_order());

}  // namespace

std::string wf_message(const WfError& error) {
  const std::string_view text = kTexts[static_cast<size_t>(error.rule)].text;
  std::string out;
  if (!error.entity.empty()) {
    out += "in entity '";
    out += error.entity;
    out += "': ";
  }
  for (size_t i = 0; i < text.size();) {
    if (text.substr(i).starts_with("{name}")) {
      out += error.detail;
      i += 6;
    } else if (text.substr(i).starts_with("{other}")) {
      out += error.other;
      i += 7;
    } else if (text.substr(i).starts_with("{char}")) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(error.code_point));
      out += buf;
      i += 6;
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace varnex::xml
