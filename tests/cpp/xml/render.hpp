// Test helper: runs a reader to Eof and renders every item as text, so a
// whole event/error/position sequence is one string comparison.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "xml/reader.hpp"

namespace varnex::xml::testing {

inline std::string escape(std::string_view s) {
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t"
                      : c == '\\' ? "\\\\" : nullptr;
    char hex[5];
    if (named == nullptr && (c < 0x20 || c >= 0x7F)) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      named = hex;
    }
    out += named != nullptr ? std::string_view(named) : std::string_view(&ch, 1);
  }
  return out;
}

inline const char* kind_name(EventKind k) {
  static const char* const kNames[] = {"Start", "End", "Empty",   "Text", "CData", "Comment",
                                       "Decl",  "PI",  "DocType", "Eof",  "Error"};
  return kNames[static_cast<size_t>(k)];
}

inline const char* error_name(ErrorKind k) {
  static const char* const kNames[] = {
      "None", "UnclosedTag", "InvalidBangMarkup", "UnclosedComment", "UnclosedCData",
      "UnclosedDoctype", "UnclosedPIOrXmlDecl", "MismatchedEndTag", "UnmatchedEndTag",
      "MissingDoctypeName", "MissingEndTag"};
  return kNames[static_cast<size_t>(k)];
}

// One item: Start/Empty show "name" or "name|content" when they differ;
// errors show their names and "err@n".
inline std::string render_event(const Reader& r, const Event& ev) {
  std::string out = kind_name(ev.kind);
  if (ev.kind == EventKind::Start || ev.kind == EventKind::Empty) {
    out += '(' + escape(ev.name());
    if (ev.content.size() != ev.name_len) out += '|' + escape(ev.content);
    out += ')';
  } else if (ev.kind == EventKind::Error) {
    out = error_name(ev.error);
    if (ev.error == ErrorKind::MismatchedEndTag) {
      out += '(' + escape(r.mismatch_expected()) + '/' + escape(r.mismatch_found()) + ')';
    } else if (ev.error == ErrorKind::UnmatchedEndTag) {
      out += '(' + escape(ev.content) + ')';
    }
  } else if (ev.kind != EventKind::Eof) {
    out += '(' + escape(ev.content) + ')';
  }
  out += '@' + std::to_string(r.buffer_position());
  if (ev.kind == EventKind::Error) out += " err@" + std::to_string(r.error_position());
  return out;
}

// Reads to Eof (with a generous cap, so a reader that fails to make progress shows up as a
// failed comparison instead of a hang), then twice more: Eof stays, and so do the positions.
inline std::string render_all(std::string_view input, Config config = Config{}) {
  Reader r(input, config);
  std::string out;
  for (int guard = 0; guard < 10000; ++guard) {
    const Event ev = r.read_event();
    out += (out.empty() ? "" : " ") + render_event(r, ev);
    if (ev.kind != EventKind::Eof) continue;
    const auto at = std::pair(r.buffer_position(), r.error_position());
    for (int i = 0; i < 2; ++i) {
      if (r.read_event().kind != EventKind::Eof ||
          std::pair(r.buffer_position(), r.error_position()) != at) {
        return out + " <Eof not kept>";
      }
    }
    return out;
  }
  return out + " <no Eof>";
}

}  // namespace varnex::xml::testing
