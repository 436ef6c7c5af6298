// Test helper: runs a reader to Eof and renders every item as text, so a
// whole event/error/position sequence is one string comparison.
#pragma once

#include <string>
#include <string_view>

#include "xml/reader.hpp"

namespace varnex::xml::testing {

inline std::string escape(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\\')
      out += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
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
      "MissingDoctypeName", "DoubleHyphenInComment", "MissingEndTag"};
  return kNames[static_cast<size_t>(k)];
}

// One item: Start/Empty show "name" or "name|content" when they differ;
// errors show their names and "err@n".
inline std::string render_event(const Reader& r, const Event& ev) {
  std::string out = kind_name(ev.kind);
  switch (ev.kind) {
    case EventKind::Start:
    case EventKind::Empty:
      out += '(';
      out += escape(ev.name());
      if (ev.content.size() != ev.name_len) {
        out += '|';
        out += escape(ev.content);
      }
      out += ')';
      break;
    case EventKind::Eof:
      break;
    case EventKind::Error:
      out = error_name(ev.error);
      if (ev.error == ErrorKind::MismatchedEndTag) {
        out += '(';
        out += escape(r.mismatch_expected());
        out += '/';
        out += escape(r.mismatch_found());
        out += ')';
      } else if (ev.error == ErrorKind::UnmatchedEndTag) {
        out += '(';
        out += escape(ev.content);
        out += ')';
      }
      break;
    default:
      out += '(';
      out += escape(ev.content);
      out += ')';
      break;
  }
  out += '@';
  out += std::to_string(r.buffer_position());
  if (ev.kind == EventKind::Error) {
    out += " err@";
    out += std::to_string(r.error_position());
  }
  return out;
}

// Reads to Eof (with a generous cap, so a reader that fails to make
// progress shows up as a failed comparison instead of a hang).
inline std::string render_all(std::string_view input, Config config = Config{}) {
  Reader r(input, config);
  std::string out;
  for (int guard = 0; guard < 10000; ++guard) {
    const Event ev = r.read_event();
    if (!out.empty()) out += ' ';
    out += render_event(r, ev);
    if (ev.kind == EventKind::Eof) return out;
  }
  return out + " <no Eof>";
}

}  // namespace varnex::xml::testing
