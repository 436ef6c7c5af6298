// Entity and character-reference resolution; any error fails the whole call.
#include "xml/unescape.hpp"

#include <cstring>
#include <utility>

namespace varnex::xml {

namespace {

// Appends the predefined entity `name`; false when it is not one.
bool resolve_predefined(std::string_view name, std::string& out) {
  const char c = predefined_entity(name);
  if (c == '\0') return false;
  out.push_back(c);
  return true;
}

int digit_value(char c, unsigned radix) noexcept {
  int v = -1;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  }
  return v >= 0 && static_cast<unsigned>(v) < radix ? v : -1;
}

}  // namespace

char predefined_entity(std::string_view name) noexcept {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
  for (const auto& [entity, c] : kEntities) {
    if (name == entity) return c;
  }
  return '\0';
}

// charref ::= 'x' hex+ | dec+   (what follows '&#'); any number of leading zeros
UnescapeStatus parse_char_ref(std::string_view ref, uint32_t* cp) noexcept {
  unsigned radix = 10;
  if (!ref.empty() && ref.front() == 'x') {
    radix = 16;
    ref.remove_prefix(1);
  }
  if (!ref.empty() && (ref.front() == '+' || ref.front() == '-'))
    return UnescapeStatus::UnexpectedSign;
  if (ref.empty()) return UnescapeStatus::InvalidNumber;
  uint64_t value = 0;
  for (const char c : ref) {
    const int d = digit_value(c, radix);
    if (d < 0) return UnescapeStatus::InvalidNumber;
    value = value * radix + static_cast<unsigned>(d);
    if (value > 0xFFFFFFFFull) return UnescapeStatus::InvalidNumber;
  }
  if (value == 0) return UnescapeStatus::IllegalCharacter;
  if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
    return UnescapeStatus::InvalidCodepoint;
  *cp = static_cast<uint32_t>(value);
  return UnescapeStatus::Ok;
}

void append_utf8(std::string& out, uint32_t cp) {
  char bytes[4];
  out.append(bytes, encode_utf8(cp, bytes));
}

UnescapeStatus unescape(std::string_view text, std::string& scratch, std::string_view* out) {
  const char* s = text.data();
  const size_t n = text.size();
  const void* amp = n == 0 ? nullptr : std::memchr(s, '&', n);
  if (amp == nullptr) {
    *out = text;
    return UnescapeStatus::Ok;
  }
  scratch.clear();
  size_t done = 0;  // bytes of `text` already copied or resolved
  size_t at = static_cast<size_t>(static_cast<const char*>(amp) - s);
  for (;;) {
    scratch.append(s + done, at - done);
    // The reference ends at the first ';'; another '&' first means no end.
    size_t end = at + 1;
    while (end < n && s[end] != ';' && s[end] != '&') ++end;
    if (end == n || s[end] == '&') return UnescapeStatus::UnterminatedEntity;
    const std::string_view name(s + at + 1, end - at - 1);
    if (!name.empty() && name.front() == '#') {
      uint32_t cp = 0;
      const UnescapeStatus st = parse_char_ref(name.substr(1), &cp);
      if (st != UnescapeStatus::Ok) return st;
      append_utf8(scratch, cp);
    } else if (!resolve_predefined(name, scratch)) {
      return UnescapeStatus::UnrecognizedEntity;
    }
    done = end + 1;
    const void* next = done < n ? std::memchr(s + done, '&', n - done) : nullptr;
    if (next == nullptr) break;
    at = static_cast<size_t>(static_cast<const char*>(next) - s);
  }
  scratch.append(s + done, n - done);
  *out = scratch;
  return UnescapeStatus::Ok;
}

TextStatus decode_and_unescape(Encoding enc, std::string_view raw, std::string& scratch_decode,
                               std::string& scratch_unescape, std::string_view* out) {
  std::string_view decoded;
  if (decode(enc, raw, scratch_decode, &decoded) != DecodeStatus::Ok)
    return TextStatus::DecodeError;
  if (unescape(decoded, scratch_unescape, out) != UnescapeStatus::Ok)
    return TextStatus::EscapeError;
  return TextStatus::Ok;
}

}  // namespace varnex::xml
