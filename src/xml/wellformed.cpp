// XML 1.0 well-formedness of the document entity in one pass over the bytes: the declaration
// and the prolog, elements, attributes, text, references, comments, PIs and CDATA. Runs of
// plain ASCII are passed by a vector scan; everything else is read by the grammar below.
#include "xml/wellformed.hpp"

#include <algorithm>
#include <bit>
#include <tuple>
#include <utility>

#include "base/utf8.hpp"
#include "xml/unescape.hpp"
#include "xml/wellformed_checker.hpp"

namespace varnex::xml {
namespace wf {
namespace {

using chars::is_ws;
using chars::plain_run_end;

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool is_utf16(Encoding e) noexcept { return e == Encoding::Utf16LE || e == Encoding::Utf16BE; }

// VersionNum ::= '1.' [0-9]+
bool is_version(std::string_view v) noexcept {
  if (v.size() < 3 || v[0] != '1' || v[1] != '.') return false;
  return std::all_of(v.begin() + 2, v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// EncName ::= [A-Za-z] ([A-Za-z0-9._] | '-')*
bool is_enc_name(std::string_view v) noexcept {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (v.empty() || !letter(v[0])) return false;
  return std::all_of(v.begin() + 1, v.end(), [&](char c) {
    return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
  });
}

// The first `limit` bytes of `s`, not cutting a UTF-8 sequence.
std::string_view quoted(std::string_view s) noexcept {
  if (s.size() <= kQuoteLimit) return s;
  size_t n = kQuoteLimit;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

}  // namespace

Checker::Checker(std::string_view doc, const WfSource& source) noexcept
    : begin_(doc.data()), p_(doc.data()), end_(doc.data() + doc.size()), source_(source) {}

WfError Checker::run() {
  document();
  return std::move(error_);
}

bool Checker::fail(WfRule rule, const char* at, std::string_view detail, std::string_view other,
                   uint32_t cp) {
  if (!error_.ok()) return false;
  if (rule == WfRule::InvalidUtf8 && source_.encoding != Encoding::Utf8) {
    // Bytes that did not decode were marked as bytes that are not UTF-8.
    rule = WfRule::InvalidEncodedByte;
    detail = declared_encoding_.empty() ? std::string_view("UTF-16") : declared_encoding_;
  }
  error_.rule = rule;
  error_.offset = static_cast<size_t>((anchor_ != nullptr ? anchor_ : at) - begin_);
  error_.detail = quoted(detail);
  error_.other = quoted(other);
  error_.code_point = cp;
  if (anchor_ != nullptr) error_.entity = anchor_entity_;
  return false;
}

Checker::Detour Checker::detour(std::string_view text, const char* anchor,
                                std::string_view entity) {
  Detour d{*this, p_, end_, anchor_ == nullptr};
  if (d.outermost) {
    anchor_ = anchor;
    anchor_entity_ = entity;
  }
  ++detours_;
  p_ = text.data();
  end_ = text.data() + text.size();
  return d;
}

bool Checker::ws() noexcept {
  const char* p = p_;
  while (p < end_ && is_ws(*p)) ++p;
  const bool any = p != p_;
  p_ = p;
  return any;
}

bool Checker::name(std::string_view* out) {
  if (!at_end() && *p_ == '%') return fail(WfRule::PeInMarkupDecl, p_);
  const char* e = name_end(p_, false);
  if (e == nullptr) return false;
  *out = std::string_view(p_, static_cast<size_t>(e - p_));
  p_ = e;
  return true;
}

size_t Checker::utf8_at(const char* p, uint32_t* cp) {
  const size_t len =
      utf8::sequence(reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(end_ - p), cp);
  if (len == 0) fail(WfRule::InvalidUtf8, p);
  return len;
}

// Name ::= NameStartChar (NameChar)*; Nmtoken ::= (NameChar)+
const char* Checker::name_end_slow(const char* p, bool nmtoken) {
  const char* const start = p;
  for (;;) {
    while (p < end_ && chars::has(*p, p == start && !nmtoken ? chars::kNameStart : chars::kName))
      ++p;
    if (p == end_ || static_cast<unsigned char>(*p) < 0x80) break;
    uint32_t cp = 0;
    const size_t len = utf8_at(p, &cp);
    if (len == 0) return nullptr;
    if (!(p == start && !nmtoken ? chars::is_name_start(cp) : chars::is_name_char(cp))) break;
    p += len;
  }
  if (p == start) {
    fail(WfRule::ExpectedName, p);
    return nullptr;
  }
  return p;
}

const char* Checker::non_ascii_char(const char* p) {
  do {
    uint32_t cp = 0;
    const size_t len = utf8_at(p, &cp);
    if (len == 0) return nullptr;
    if (!chars::is_char(cp)) {
      fail(WfRule::InvalidChar, p, {}, {}, cp);
      return nullptr;
    }
    p += len;
  } while (p < end_ && static_cast<unsigned char>(*p) >= 0x80);
  return p;
}

const char* Checker::other_char(const char* p) {
  if (static_cast<unsigned char>(*p) >= 0x80) return non_ascii_char(p);
  fail(WfRule::InvalidChar, p, {}, {}, static_cast<unsigned char>(*p));
  return nullptr;
}

// document ::= prolog element Misc*
// prolog ::= XMLDecl? Misc* (doctypedecl Misc*)?
bool Checker::document() {
  // A UTF-8 mark stays in bytes checked as they are; a decoded document has lost its mark.
  if ((source_.mark == 3 || source_.encoding == Encoding::Utf8) && looking_at("\xEF\xBB\xBF"))
    p_ += 3;
  if (looking_at("<?xml") && (end_ - p_ == 5 || is_ws(p_[5]) || p_[5] == '?')) {
    if (!xml_decl()) return false;
  }
  if (!encoding_consistent()) return false;
  if (!misc_or_doctype(false)) return false;
  if (at_end()) return fail(WfRule::NoRoot, p_);
  if (!start_tag()) return false;
  if (!open_.empty() && !content(0)) return false;
  root_seen_ = true;
  return misc_or_doctype(true);
}

// XMLDecl ::= '<?xml' VersionInfo EncodingDecl? SDDecl? S? '?>'
// VersionInfo ::= S 'version' Eq ("'" VersionNum "'" | '"' VersionNum '"')
// EncodingDecl ::= S 'encoding' Eq ('"' EncName '"' | "'" EncName "'" )
// SDDecl ::= S 'standalone' Eq (("'" ('yes' | 'no') "'") | ('"' ('yes' | 'no') '"'))
bool Checker::xml_decl() {
  p_ += 5;
  std::string_view value;
  // Eq then a quoted value (no references in the declaration).
  const auto eq_value = [&]() -> bool {
    ws();
    if (at_end() || *p_ != '=') return fail(WfRule::DeclSyntax, p_);
    ++p_;
    ws();
    if (at_end() || (*p_ != '"' && *p_ != '\'')) return fail(WfRule::DeclSyntax, p_);
    const char* const open = p_;
    const char* close = static_cast<const char*>(std::memchr(open + 1, *open, end_ - open - 1));
    if (close == nullptr) return fail(WfRule::DeclSyntax, open);
    value = std::string_view(open + 1, static_cast<size_t>(close - open - 1));
    p_ = close + 1;
    return true;
  };
  bool spaced = ws();
  if (!spaced || !keyword("version")) return fail(WfRule::DeclSyntax, p_);
  if (!eq_value()) return false;
  if (!is_version(value)) return fail(WfRule::BadVersion, value.data(), value);
  spaced = ws();
  if (spaced && keyword("encoding")) {
    if (!eq_value()) return false;
    if (!is_enc_name(value)) return fail(WfRule::BadEncodingName, value.data(), value);
    declared_encoding_ = value;
    spaced = ws();
  }
  if (spaced && keyword("standalone")) {
    if (!eq_value()) return false;
    if (value == "yes")
      standalone_ = true;
    else if (value != "no")
      return fail(WfRule::BadStandalone, value.data(), value);
    ws();
  }
  if (!keyword("?>")) return fail(WfRule::DeclSyntax, p_);
  return true;
}

// The encoding a declaration names is the one the bytes are in: the byte-order mark's, or the
// one they were decoded from.
bool Checker::encoding_consistent() {
  if (declared_encoding_.empty() || source_.is_text) return true;
  const char* const at = declared_encoding_.data();
  Encoding named = Encoding::Utf8;
  if (!encoding_for_label(declared_encoding_, &named))
    return fail(WfRule::UnknownEncoding, at, declared_encoding_);
  bool same = is_utf16(named) ? is_utf16(source_.encoding) : named == source_.encoding;
  if (source_.mark == 3) same = same && named == Encoding::Utf8;
  if (source_.mark == 2) same = same && is_utf16(named);
  if (same) return true;
  const std::string_view actual = source_.mark == 2 || is_utf16(source_.encoding) ? "UTF-16"
                                  : source_.encoding == Encoding::Utf8            ? "UTF-8"
                                                                                  : "another";
  return fail(WfRule::EncodingMismatch, at, declared_encoding_, actual);
}

// Misc ::= Comment | PI | S; before the root also the one doctypedecl. Stops at the root's
// '<', or at the end of the input.
bool Checker::misc_or_doctype(bool after_root) {
  for (;;) {
    ws();
    if (at_end()) return true;
    if (*p_ != '<') return fail(WfRule::TextOutsideRoot, p_);
    if (looking_at("<!--")) {
      if (!comment()) return false;
    } else if (looking_at("<?")) {
      if (!pi()) return false;
    } else if (looking_at("<!DOCTYPE")) {
      if (after_root || has_doctype_) return fail(WfRule::MisplacedDoctype, p_);
      if (!doctype()) return false;
    } else if (looking_at("<![CDATA[")) {
      return fail(WfRule::MisplacedCData, p_);
    } else if (looking_at("</")) {
      return fail(WfRule::StrayEndTag, p_);
    } else if (looking_at("<!")) {
      return fail(WfRule::BadMarkup, p_);
    } else {
      return after_root ? fail(WfRule::SecondRoot, p_) : true;
    }
  }
}

// The usual end tag, "</name>" for a name under 8 bytes that declared no namespaces, read
// at once; false (nothing read) for any other, which end_tag reads.
inline bool Checker::end_tag_of_short_name(size_t base) noexcept {
  if (std::endian::native != std::endian::little || open_.size() == base) return false;
  const Open& top = open_.back();
  const char* const p = p_ + 2;
  if (top.len >= 8 || top.ns != 0 || end_ - p < 8) return false;
  // One word each: the start tag's name lies before p in the same bytes.
  uint64_t a;
  uint64_t b;
  std::memcpy(&a, p, 8);
  std::memcpy(&b, top.name, 8);
  if (((a ^ b) & ((uint64_t{1} << (8 * top.len)) - 1)) != 0 || p[top.len] != '>') return false;
  p_ = p + top.len + 1;
  open_.pop_back();
  return true;
}

// content ::= CharData? ((element | Reference | CDSect | PI | Comment) CharData?)*
// CharData ::= [^<&]* - ([^<&]* ']]>' [^<&]*)
// Reads until the element open at depth `base` closes; in an entity's text, to its end.
bool Checker::content(size_t base) {
  for (;;) {
    const char* p = plain_run_end<'<', '&', ']'>(p_, end_);
    p_ = p;
    if (p == end_) {
      if (detours_ > 0 && open_.size() == base) return true;
      const Open& top = open_.back();
      return fail(detours_ > 0 ? WfRule::UnbalancedEntity : WfRule::UnclosedElement, p,
                  {top.name, top.len});
    }
    switch (*p) {
      case '<':
        if (end_ - p < 2) return fail(WfRule::UnclosedTag, p);
        if (p[1] == '/') {
          if (!end_tag_of_short_name(base) && !end_tag(base)) return false;
          if (open_.size() == base && detours_ == 0) return true;
        } else if (p[1] == '!') {
          if (looking_at("<!--")) {
            if (!comment()) return false;
          } else if (looking_at("<![CDATA[")) {
            if (!cdata()) return false;
          } else {
            return fail(looking_at("<!DOCTYPE") ? WfRule::MisplacedDoctype : WfRule::BadMarkup, p);
          }
        } else if (p[1] == '?') {
          if (!pi()) return false;
        } else {
          // The usual start tag, a name and '>', here; anything more in start_tag.
          const char* const name = p + 1;
          const char* const e = name_end(name, false);
          if (e == nullptr) return false;
          if (e < end_ && *e == '>') {
            open_.push_back({name, static_cast<size_t>(e - name), 0});
            p_ = e + 1;
          } else if (!start_tag()) {
            return false;
          }
        }
        break;
      case '&':
        if (!content_reference()) return false;
        break;
      case ']':
        if (end_ - p >= 3 && p[1] == ']' && p[2] == '>') return fail(WfRule::CDataEndInText, p);
        p_ = p + 1;
        break;
      default:
        p = other_char(p);
        if (p == nullptr) return false;
        p_ = p;
    }
  }
}

// STag ::= '<' Name (S Attribute)* S? '>'    EmptyElemTag ::= '<' Name (S Attribute)* S? '/>'
// Attribute ::= Name Eq AttValue             Eq ::= S? '=' S?
bool Checker::start_tag() {
  const char* const lt = p_;
  const char* const tag_name = lt + 1;
  const char* p = name_end(tag_name, false);
  if (p == nullptr) return false;
  const size_t name_len = static_cast<size_t>(p - tag_name);
  if (p < end_ && *p == '>') {  // no attributes: the usual tag
    p_ = p + 1;
    open_.push_back({tag_name, name_len, 0});
    return true;
  }
  attrs_.clear();
  tag_bindings_ = 0;
  prefixed_attrs_ = 0;
  bool empty = false;
  for (;;) {
    const char* const before = p;
    while (p < end_ && is_ws(*p)) ++p;
    if (p == end_) return fail(WfRule::UnclosedTag, lt, {tag_name, name_len});
    if (*p == '>') {
      p_ = p + 1;
      break;
    }
    if (*p == '/') {
      if (end_ - p < 2) return fail(WfRule::UnclosedTag, lt, {tag_name, name_len});
      if (p[1] != '>') return fail(WfRule::BadTagEnd, p);
      p_ = p + 2;
      empty = true;
      break;
    }
    if (p == before) return fail(WfRule::BadTagEnd, p);
    const char* const attr = p;
    p = name_end(attr, false);
    if (p == nullptr) return false;
    const std::string_view attr_name(attr, static_cast<size_t>(p - attr));
    while (p < end_ && is_ws(*p)) ++p;
    if (p == end_) return fail(WfRule::UnclosedTag, lt, {tag_name, name_len});
    if (*p != '=') return fail(WfRule::ExpectedEq, p, attr_name);
    ++p;
    while (p < end_ && is_ws(*p)) ++p;
    if (p == end_) return fail(WfRule::UnclosedTag, lt, {tag_name, name_len});
    if (*p != '"' && *p != '\'') return fail(WfRule::ExpectedQuote, p, attr_name);
    p_ = p + 1;
    if (!attribute_value(*p)) return false;
    attrs_.push_back({attr, attr_name.size()});
    if (attr_name.starts_with("xmlns")) {
      // A prefix bound here counts for the tag's own attributes.
      if (attr_name.size() > 6 && attr_name[5] == ':') {
        const char* const value = p + 1;
        ns_.push_back({attr_name.substr(6), std::string_view(value, p_ - 1 - value)});
        ++tag_bindings_;
      }
    } else if (attr_name.find(':') != std::string_view::npos) {
      ++prefixed_attrs_;
    }
    p = p_;
  }
  if (attrs_.size() > 1 && !attributes_unique()) return false;
  if (prefixed_attrs_ > 1 && !ns_.empty() && !expanded_names_unique()) return false;
  if (empty) {
    if (tag_bindings_ != 0) ns_.resize(ns_.size() - tag_bindings_);
  } else {
    open_.push_back({tag_name, name_len, tag_bindings_});
  }
  return true;
}

// Unique Att Spec: no name twice in one tag. The later one is reported.
bool Checker::attributes_unique() {
  const auto same = [](const Attr& a, const Attr& b) {
    return a.len == b.len && std::memcmp(a.name, b.name, a.len) == 0;
  };
  const size_t n = attrs_.size();
  if (n <= 16) {
    for (size_t j = 1; j < n; ++j) {
      for (size_t i = 0; i < j; ++i) {
        if (same(attrs_[i], attrs_[j]))
          return fail(WfRule::DuplicateAttr, attrs_[j].name, {attrs_[j].name, attrs_[j].len});
      }
    }
    return true;
  }
  std::vector<Attr> sorted(attrs_);
  std::sort(sorted.begin(), sorted.end(), [](const Attr& a, const Attr& b) {
    const std::string_view x(a.name, a.len);
    const std::string_view y(b.name, b.len);
    return x != y ? x < y : a.name < b.name;
  });
  const Attr* later = nullptr;
  for (size_t i = 1; i < n; ++i) {
    if (same(sorted[i - 1], sorted[i]) && (later == nullptr || sorted[i].name < later->name))
      later = &sorted[i];
  }
  return later == nullptr || fail(WfRule::DuplicateAttr, later->name, {later->name, later->len});
}

// No two attributes of a tag with the same local name and the same namespace (prefixes bound
// to one URI). Prefixes nobody declared are passed over.
bool Checker::expanded_names_unique() {
  struct Expanded {
    std::string_view uri;
    std::string_view local;
    const char* at;
  };
  std::vector<Expanded> names;
  std::vector<std::string> normalized;  // URIs written with references or white space
  normalized.reserve(attrs_.size());
  for (const Attr& a : attrs_) {
    const std::string_view qname(a.name, a.len);
    const size_t colon = qname.find(':');
    if (colon == std::string_view::npos || qname.starts_with("xmlns")) continue;
    const std::string_view prefix = qname.substr(0, colon);
    std::string_view uri;
    if (prefix == "xml") {
      uri = kXmlNamespace;
    } else {
      const auto bound = std::find_if(ns_.rbegin(), ns_.rend(),
                                      [&](const Binding& b) { return b.prefix == prefix; });
      if (bound == ns_.rend()) continue;
      uri = bound->uri;
      if (uri.find_first_of("&\t\n\r") != std::string_view::npos) {
        normalized.emplace_back();
        attribute_text(uri, normalized.back(), 0);
        uri = normalized.back();
      }
    }
    names.push_back({uri, qname.substr(colon + 1), a.name});
  }
  std::sort(names.begin(), names.end(), [](const Expanded& x, const Expanded& y) {
    return std::tie(x.uri, x.local, x.at) < std::tie(y.uri, y.local, y.at);
  });
  const char* later = nullptr;
  for (size_t i = 1; i < names.size(); ++i) {
    if (names[i].uri == names[i - 1].uri && names[i].local == names[i - 1].local &&
        (later == nullptr || names[i].at < later))
      later = names[i].at;
  }
  if (later == nullptr) return true;
  const auto found =
      std::find_if(attrs_.begin(), attrs_.end(), [&](const Attr& a) { return a.name == later; });
  return fail(WfRule::DuplicateExpandedAttr, later, {found->name, found->len});
}

// The value of an attribute as it reads once normalised: references replaced, white space
// as spaces. `raw` has been checked already.
void Checker::attribute_text(std::string_view raw, std::string& out, int depth) {
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '&') {
      out += is_ws(c) ? ' ' : c;
      continue;
    }
    const size_t semi = raw.find(';', i);
    const std::string_view ref = raw.substr(i + 1, semi - i - 1);
    i = semi;
    uint32_t cp = 0;
    if (ref.starts_with('#')) {
      if (parse_char_ref(ref.substr(1), &cp) == UnescapeStatus::Ok) append_utf8(out, cp);
    } else if (const char predefined = predefined_entity(ref); predefined != '\0') {
      out += predefined;
    } else if (Entity* e = find_entity(ref); e != nullptr && depth < kMaxDetours) {
      attribute_text(e->replacement, out, depth + 1);
    }
  }
}

// ETag ::= '</' Name S? '>'
bool Checker::end_tag(size_t base) {
  const char* const lt = p_;
  if (open_.size() == base) return fail(WfRule::UnbalancedEntity, lt);
  const Open top = open_.back();
  const char* p = lt + 2;
  bool match;
  if (std::endian::native == std::endian::little && top.len < 8 && end_ - p >= 8) {
    // One word each: the start tag's name lies before p in the same bytes.
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, top.name, 8);
    match = ((a ^ b) & ((uint64_t{1} << (8 * top.len)) - 1)) == 0;
  } else {
    match = static_cast<size_t>(end_ - p) > top.len && std::memcmp(p, top.name, top.len) == 0;
  }
  if (match) {
    p += top.len;
    if (*p != '>') {
      if (is_ws(*p)) {
        while (p < end_ && is_ws(*p)) ++p;
        if (p == end_) return fail(WfRule::UnclosedTag, lt, {top.name, top.len});
        if (*p != '>') return fail(WfRule::BadTagEnd, p);
      } else {
        match = false;
      }
    }
  }
  if (!match) {
    const char* const found = name_end(lt + 2, false);
    if (found == nullptr) return false;
    const std::string_view found_name(lt + 2, static_cast<size_t>(found - lt - 2));
    if (found == end_ || found_name == std::string_view(top.name, top.len))
      return fail(WfRule::UnclosedTag, lt, found_name);
    return fail(WfRule::MismatchedEndTag, lt, found_name, {top.name, top.len});
  }
  p_ = p + 1;
  if (top.ns != 0) ns_.resize(ns_.size() - top.ns);
  open_.pop_back();
  return true;
}

// AttValue ::= '"' ([^<&"] | Reference)* '"' | "'" ([^<&'] | Reference)* "'"
// p_ is past the opening quote; it ends past the closing one.
bool Checker::attribute_value(char quote) {
  const char* const open = p_ - 1;
  for (;;) {
    const char* p = quote == '"' ? plain_run_end<'"', '<', '&'>(p_, end_)
                                 : plain_run_end<'\'', '<', '&'>(p_, end_);
    if (p == end_) return fail(WfRule::UnclosedAttrValue, open);
    if (*p == quote) {
      p_ = p + 1;
      return true;
    }
    if (*p == '<') return fail(WfRule::LtInAttrValue, p);
    if (*p == '&') {
      p_ = p;
      if (!attribute_reference()) return false;
      continue;
    }
    p = other_char(p);
    if (p == nullptr) return false;
    p_ = p;
  }
}

// Reference ::= EntityRef | CharRef       EntityRef ::= '&' Name ';'
// CharRef ::= '&#' [0-9]+ ';' | '&#x' [0-9a-fA-F]+ ';'
bool Checker::reference(std::string_view* entity, uint32_t* cp) {
  const char* const amp = p_;
  const char* p = amp + 1;
  if (p < end_ && *p == '#') {
    const char* const digits = ++p;
    if (p < end_ && *p == 'x') ++p;
    while (p < end_ &&
           ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F')))
      ++p;
    if (p == end_ || *p != ';') return fail(WfRule::BadReference, amp);
    const std::string_view ref(amp, static_cast<size_t>(p + 1 - amp));
    uint32_t value = 0;
    if (parse_char_ref(std::string_view(digits, static_cast<size_t>(p - digits)), &value) !=
        UnescapeStatus::Ok)
      return fail(WfRule::BadCharRef, amp, ref);
    if (!chars::is_char(value)) return fail(WfRule::BadCharRef, amp, ref, {}, value);
    *entity = {};
    *cp = value;
    p_ = p + 1;
    return true;
  }
  if (p == end_ || !(chars::has(*p, chars::kNameStart) || static_cast<unsigned char>(*p) >= 0x80))
    return fail(WfRule::BadReference, amp);
  const char* const e = name_end(p, false);
  if (e == nullptr) return false;
  if (e == end_ || *e != ';') return fail(WfRule::BadReference, amp);
  *entity = std::string_view(p, static_cast<size_t>(e - p));
  p_ = e + 1;
  return true;
}

// The reference at p_, passed: the entity it names when one is declared, else *out is null
// (a character reference, a predefined entity, an undeclared one where that is no error).
// Entity Declared.
bool Checker::declared_reference(Entity** out) {
  const char* const amp = p_;
  std::string_view name;
  uint32_t cp = 0;
  *out = nullptr;
  if (!reference(&name, &cp)) return false;
  if (name.empty() || predefined_entity(name) != '\0') return true;
  *out = find_entity(name);
  return *out != nullptr || !entities_must_be_declared() ||
         fail(WfRule::UndeclaredEntity, amp, name);
}

// Parsed Entity, No Recursion; the replacement text of an internal entity is content itself.
bool Checker::content_reference() {
  const char* const amp = p_;
  Entity* e = nullptr;
  if (!declared_reference(&e)) return false;
  if (e == nullptr) return true;
  if (e->unparsed) return fail(WfRule::UnparsedEntityRef, amp, e->name);
  if (e->external) return true;  // never read
  return entity_as_content(*e, amp);
}

bool Checker::entity_as_content(Entity& e, const char* ref) {
  if (e.as_content == Entity::State::Good) return true;
  if (e.as_content == Entity::State::Checking) return fail(WfRule::RecursiveEntity, ref, e.name);
  if (detours_ >= kMaxDetours) return fail(WfRule::EntityTooDeep, ref, e.name);
  e.as_content = Entity::State::Checking;
  {
    const Detour d = detour(e.replacement, ref, e.name);
    if (!content(open_.size())) return false;
  }
  e.as_content = Entity::State::Good;
  return true;
}

// No External Entity References, No < in Attribute Values, No Recursion.
bool Checker::attribute_reference() {
  const char* const amp = p_;
  Entity* e = nullptr;
  if (!declared_reference(&e)) return false;
  return e == nullptr || entity_in_attribute(*e, amp);
}

bool Checker::entity_in_attribute(Entity& e, const char* ref) {
  if (e.unparsed) return fail(WfRule::UnparsedEntityRef, ref, e.name);
  if (e.external) return fail(WfRule::ExternalEntityInAttr, ref, e.name);
  if (e.in_attribute == Entity::State::Good) return true;
  if (e.in_attribute == Entity::State::Checking) return fail(WfRule::RecursiveEntity, ref, e.name);
  if (detours_ >= kMaxDetours) return fail(WfRule::EntityTooDeep, ref, e.name);
  e.in_attribute = Entity::State::Checking;
  {
    const Detour d = detour(e.replacement, ref, e.name);
    for (;;) {
      // The replacement text's characters were checked where it was declared.
      const char* p = plain_run_end<'<', '&', '&'>(p_, end_);
      if (p == end_) break;
      if (*p == '<') return fail(WfRule::LtInAttrEntity, p, e.name);
      if (*p == '&') {
        p_ = p;
        if (!attribute_reference()) return false;
        continue;
      }
      p_ = p + 1;
    }
  }
  e.in_attribute = Entity::State::Good;
  return true;
}

// Characters up to `close` (whose first byte is C), passed; the construct opened at `lt` is
// `unclosed` when the input ends first.
template <char C>
bool Checker::chars_until(const char* p, std::string_view close, const char* lt, WfRule unclosed) {
  for (;;) {
    p = plain_run_end<C, C, C>(p, end_);
    if (p == end_) return fail(unclosed, lt);
    if (*p == C) {
      if (static_cast<size_t>(end_ - p) >= close.size() &&
          std::memcmp(p, close.data(), close.size()) == 0) {
        p_ = p + close.size();
        return true;
      }
      ++p;
      continue;
    }
    p = other_char(p);
    if (p == nullptr) return false;
  }
}

// Comment ::= '<!--' ((Char - '-') | ('-' (Char - '-')))* '-->'
bool Checker::comment() {
  const char* const lt = p_;
  if (!chars_until<'-'>(lt + 4, "--", lt, WfRule::UnclosedComment)) return false;
  if (at_end()) return fail(WfRule::UnclosedComment, lt);
  if (*p_ != '>') return fail(WfRule::DoubleHyphenInComment, p_ - 2);
  ++p_;
  return true;
}

// PI ::= '<?' PITarget (S (Char* - (Char* '?>' Char*)))? '?>'
// PITarget ::= Name - (('X' | 'x') ('M' | 'm') ('L' | 'l'))
bool Checker::pi() {
  const char* const lt = p_;
  const char* const target = lt + 2;
  const char* p = name_end(target, false);
  if (p == nullptr) return false;
  const std::string_view name(target, static_cast<size_t>(p - target));
  if (name.size() == 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
      (name[2] | 0x20) == 'l')
    return fail(name == "xml" ? WfRule::MisplacedDecl : WfRule::ReservedPiTarget, lt, name);
  if (p == end_) return fail(WfRule::UnclosedPi, lt);
  if (!is_ws(*p)) {
    if (end_ - p >= 2 && p[0] == '?' && p[1] == '>') {
      p_ = p + 2;
      return true;
    }
    return fail(WfRule::BadPi, p, name);
  }
  return chars_until<'?'>(p, "?>", lt, WfRule::UnclosedPi);
}

// CDSect ::= '<![CDATA[' (Char* - (Char* ']]>' Char*)) ']]>'
bool Checker::cdata() {
  const char* const lt = p_;
  return chars_until<']'>(lt + 9, "]]>", lt, WfRule::UnclosedCData);
}

Entity* Checker::find_entity(std::string_view name) noexcept {
  const auto found = entities_.find(name);
  return found == entities_.end() ? nullptr : found->second.get();
}

Entity* Checker::find_pe(std::string_view name) noexcept {
  const auto found = pes_.find(name);
  return found == pes_.end() ? nullptr : found->second.get();
}

}  // namespace wf

WfError check_well_formed(std::string_view doc, const WfSource& source) {
  wf::Checker checker(doc, source);
  return checker.run();
}

}  // namespace varnex::xml
