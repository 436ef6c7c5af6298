// The strict check: the document decoded as every pass reads it, checked, and the error
// located in the caller's terms.
#include "engine/check.hpp"

#include <unordered_map>
#include <vector>

#include "engine/document.hpp"
#include "xml/reader.hpp"
#include "xml/wellformed.hpp"

namespace varnex::engine {
namespace {

bool is_lead_byte(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// Encodings that give one character per byte.
bool is_single_byte(xml::Encoding e) noexcept {
  switch (e) {
    case xml::Encoding::Utf8:
    case xml::Encoding::Utf16LE:
    case xml::Encoding::Utf16BE:
    case xml::Encoding::Gbk:
    case xml::Encoding::Gb18030:
    case xml::Encoding::Big5:
    case xml::Encoding::EucJp:
    case xml::Encoding::Iso2022Jp:
    case xml::Encoding::ShiftJis:
    case xml::Encoding::EucKr:
    case xml::Encoding::Replacement: return false;
    default: return true;
  }
}

// The caller's offset of byte `at` of the decoded text: the mark, then each character's
// width in the encoding it was decoded from.
size_t raw_offset(std::string_view text, size_t at, xml::Encoding encoding, size_t mark) {
  size_t chars = 0;
  size_t astral = 0;  // characters beyond the BMP: two UTF-16 units
  for (size_t i = 0; i < at; ++i) {
    if (!is_lead_byte(text[i])) continue;
    ++chars;
    if (static_cast<unsigned char>(text[i]) >= 0xF0 && static_cast<unsigned char>(text[i]) < 0xF8)
      ++astral;
  }
  if (encoding == xml::Encoding::Utf16LE || encoding == xml::Encoding::Utf16BE)
    return mark + 2 * (chars + astral);
  if (is_single_byte(encoding)) return mark + chars;
  return CheckReport::kUnknown;
}

void locate(std::string_view text, size_t at, CheckReport& report) {
  size_t line = 1;
  size_t line_start = 0;
  size_t chars = 0;
  for (size_t i = 0; i < at; ++i) {
    const char c = text[i];
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++line;
      line_start = i + 1;
    }
    if (is_lead_byte(c)) ++chars;
  }
  size_t column = 1;
  for (size_t i = line_start; i < at; ++i) column += is_lead_byte(text[i]) ? 1 : 0;
  report.line = line;
  report.column = column;
  report.chars_before = chars;
}

}  // namespace

std::string element_path_at(std::string_view doc, size_t offset) {
  struct Level {
    std::string_view name;
    size_t index;
    std::unordered_map<std::string_view, size_t> children;  // how many of each name so far
  };
  std::vector<Level> open;
  std::unordered_map<std::string_view, size_t> top;
  xml::Reader reader(doc, xml::Config::query());
  for (bool done = false; !done;) {
    const xml::Event ev = reader.read_event();
    const bool past = reader.buffer_position() > offset;
    switch (ev.kind) {
      case xml::EventKind::Start:
      case xml::EventKind::Empty: {
        auto& counts = open.empty() ? top : open.back().children;
        const size_t index = counts[ev.name()]++;
        if (ev.kind == xml::EventKind::Start || past) open.push_back({ev.name(), index, {}});
        done = past;
        break;
      }
      case xml::EventKind::End:
        done = past;
        if (!done && !open.empty()) open.pop_back();
        break;
      case xml::EventKind::Eof:
      case xml::EventKind::Error: done = true; break;
      default: done = past;
    }
  }
  std::string path;
  for (const Level& level : open) {
    if (!path.empty()) path += '.';
    path += level.name;
    if (level.index > 0) {
      path += '[';
      path += std::to_string(level.index);
      path += ']';
    }
  }
  return path;
}

CheckReport check_document(std::string_view raw, bool is_text) {
  xml::WfSource source;
  source.is_text = is_text;
  Document decoded;
  std::string_view text = raw;
  if (is_text) {
    source.mark = raw.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  } else {
    const DocumentEncoding found = detect_document_encoding(raw);
    source.encoding = found.encoding;
    source.mark = found.mark;
    decoded.load(raw, found);
    text = decoded.bytes();
  }
  const xml::WfError error = xml::check_well_formed(text, source);
  CheckReport report;
  if (error.ok()) return report;
  report.ok = false;
  report.message = xml::wf_message(error);
  report.offset = decoded.is_copy() ? raw_offset(text, error.offset, source.encoding, source.mark)
                                    : error.offset;
  locate(text, error.offset, report);
  // A leading mark is not a column of the first line (a str still counts it as a character).
  if (!decoded.is_copy() && source.mark == 3 && error.offset >= 3 && report.line == 1)
    report.column -= 1;
  report.path = element_path_at(text, error.offset);
  return report;
}

}  // namespace varnex::engine
