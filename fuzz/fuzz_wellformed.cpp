// libFuzzer target for the strict checker, differential against libxml2: the same bytes,
// read as UTF-8 by both whatever they declare, must be judged alike. The one rule libxml2
// counts as a namespace error rather than a well-formedness one (two attributes with one
// expanded name) is left out of the comparison. Every rejection is also located the way the
// binding locates it, which must stay inside the document.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "engine/check.hpp"
#include "xml/wellformed.hpp"

namespace {

void quiet(void*, const char*, ...) {}

// libxml2's verdict: parsed as UTF-8, no network, no external DTD, no depth limit.
bool libxml2_accepts(const uint8_t* data, size_t size) {
  xmlParserCtxtPtr ctxt =
      xmlCreateMemoryParserCtxt(reinterpret_cast<const char*>(data), static_cast<int>(size));
  if (ctxt == nullptr) return false;
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR |
                              XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC);
  xmlParseDocument(ctxt);
  const bool accepted = ctxt->wellFormed != 0;
  xmlFreeDoc(ctxt->myDoc);
  xmlFreeParserCtxt(ctxt);
  return accepted;
}

// Where libxml2 is known to judge otherwise than XML 1.0 does, the input is not compared.
bool libxml2_differs(std::string_view doc, const varnex::xml::WfError& ours, bool theirs) {
  using varnex::xml::WfRule;
  const auto has = [&](std::string_view s) { return doc.find(s) != std::string_view::npos; };
  // It reads a NUL byte as the end of its input in places.
  if (has(std::string_view("\0", 1))) return true;
  // It takes "<!DOCTYPEname" without the white space the declaration needs.
  if (ours.rule == WfRule::BadDoctype && ours.offset >= 9 &&
      doc.substr(ours.offset - 9, 9) == "<!DOCTYPE")
    return true;
  // It counts a namespace declaration made twice in a tag as a namespace error only.
  if (ours.rule == WfRule::DuplicateAttr && ours.detail.starts_with("xmlns")) return true;
  // It refuses an encoding it does not know even when told to ignore the declared one.
  if (ours.ok() && !theirs && doc.starts_with("<?xml") &&
      doc.substr(0, doc.find("?>")).find("encoding") != std::string_view::npos)
    return true;
  // Inside an entity's text it asks every entity to be declared, even where the external
  // subset or a parameter entity may declare it.
  if (ours.ok() && !theirs && has("<!DOCTYPE") && (has("SYSTEM") || has("PUBLIC") || has("%")))
    return true;
  // It takes an unparsed entity's NDATA without the notation's name.
  if (!ours.ok() && theirs && ours.rule == WfRule::ExpectedName) {
    const std::string_view before = doc.substr(0, ours.offset);
    const size_t last = before.find_last_not_of(" \t\r\n");
    if (last != std::string_view::npos && before.substr(0, last + 1).ends_with("NDATA"))
      return true;
  }
  // It refuses attribute declarations whose names are no namespace QNames.
  if (ours.ok() && !theirs && has("<!ATTLIST") && has(":")) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  xmlSetGenericErrorFunc(nullptr, quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::string_view doc(reinterpret_cast<const char*>(data), size);
  varnex::xml::WfSource as_utf8;
  as_utf8.is_text = true;  // a declared encoding is not compared with the bytes
  const varnex::xml::WfError ours = varnex::xml::check_well_formed(doc, as_utf8);

  const varnex::engine::CheckReport report = varnex::engine::check_document(doc, false);
  if (!report.ok && report.offset != varnex::engine::CheckReport::kUnknown && report.offset > size)
    std::abort();

  // libxml2 reads a document that starts like UTF-16 or UCS-4 as such.
  const xmlCharEncoding detected = xmlDetectCharEncoding(data, static_cast<int>(size));
  if (detected != XML_CHAR_ENCODING_NONE && detected != XML_CHAR_ENCODING_UTF8) return 0;
  if (ours.rule == varnex::xml::WfRule::DuplicateExpandedAttr) return 0;
  const bool theirs = libxml2_accepts(data, size);
  if (ours.ok() != theirs && !libxml2_differs(doc, ours, theirs)) {
    std::fprintf(stderr, "varnex %s (%s at %zu), libxml2 %s\n", ours.ok() ? "accepts" : "rejects",
                 varnex::xml::wf_message(ours).c_str(), ours.offset,
                 ours.ok() ? "rejects" : "accepts");
    std::abort();
  }
  return 0;
}
