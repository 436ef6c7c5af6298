// The strict checker's state, shared by its document part (wellformed.cpp) and its DTD part
// (wellformed_dtd.cpp). Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xml/chars.hpp"
#include "xml/wellformed.hpp"

namespace varnex::xml::wf {

// Bytes of the tag names and references for messages: at most this many.
inline constexpr size_t kQuoteLimit = 64;
// Entities inside entities, and groups inside groups of a content model: the native stack
// bounds how deep they may go.
inline constexpr int kMaxDetours = 64;
inline constexpr int kMaxNesting = 256;

// An entity declared in the internal subset.
struct Entity {
  enum class State : uint8_t { Unchecked, Checking, Good };
  std::string_view name;
  std::string replacement;  // the literal with its character references replaced
  bool external = false;
  bool unparsed = false;  // NDATA
  State as_content = State::Unchecked;
  State in_attribute = State::Unchecked;
};

// One pass over one document. Each reading function starts at p_ (or the pointer it is given),
// leaves p_ past what it read, and returns false (or nullptr) with the first error set.
class Checker {
 public:
  Checker(std::string_view doc, const WfSource& source) noexcept;
  WfError run();

  // The document part.
  bool document();
  bool xml_decl();
  bool encoding_consistent();
  bool misc_or_doctype(bool after_root);
  bool content(size_t base);
  bool start_tag();
  bool end_tag(size_t base);
  bool end_tag_of_short_name(size_t base) noexcept;
  bool attributes_unique();
  bool expanded_names_unique();
  void attribute_text(std::string_view raw, std::string& out, int depth);
  template <char C>
  bool chars_until(const char* p, std::string_view close, const char* lt, WfRule unclosed);
  bool comment();
  bool pi();
  bool cdata();
  // Past the reference at p_ (a '&') in content, an attribute value or an entity value:
  // `name` is the entity's, or empty for a character reference to *cp.
  bool reference(std::string_view* name, uint32_t* cp);
  bool declared_reference(Entity** out);
  bool content_reference();
  bool attribute_reference();
  bool entity_as_content(Entity& e, const char* ref);
  bool entity_in_attribute(Entity& e, const char* ref);
  // The end of the Name (or Nmtoken) at p; nullptr with the error set when none starts there.
  const char* name_end(const char* p, bool nmtoken) {
    // The usual name: ASCII, shorter than 16 bytes, followed by an ASCII byte.
    if (end_ - p >= 16 && (nmtoken || chars::has(*p, chars::kNameStart))) [[likely]] {
      const size_t n = chars::ascii_name_run(p);
      if (n != 0 && n < 16 && static_cast<unsigned char>(p[n]) < 0x80) [[likely]]
        return p + n;
    }
    return name_end_slow(p, nmtoken);
  }
  const char* name_end_slow(const char* p, bool nmtoken);
  // The UTF-8 sequence at p (a byte of 0x80 or more): its length and code point, or 0 with
  // the error set.
  size_t utf8_at(const char* p, uint32_t* cp);
  // Past the characters at p (0x80 or more); nullptr with the error set.
  const char* non_ascii_char(const char* p);
  // Past the byte at p that a plain run stopped at for being no plain ASCII character.
  const char* other_char(const char* p);
  bool attribute_value(char quote);

  // The DTD part.
  bool doctype();
  bool internal_subset(bool in_pe);
  bool element_decl();
  bool content_particle(int depth);
  bool enumeration(bool notation);
  bool decl_error();
  bool attlist_decl();
  bool entity_decl();
  bool notation_decl();
  bool external_id(bool public_alone);
  bool quoted_literal(bool pubid);
  bool entity_value(std::string* replacement);
  bool pe_reference();

  // Helpers.
  bool fail(WfRule rule, const char* at, std::string_view detail = {}, std::string_view other = {},
            uint32_t cp = 0);
  // Passes white space at p_; whether there was any.
  bool ws() noexcept;
  [[nodiscard]] bool at_end() const noexcept { return p_ == end_; }
  [[nodiscard]] bool looking_at(std::string_view s) const noexcept {
    return static_cast<size_t>(end_ - p_) >= s.size() && std::memcmp(p_, s.data(), s.size()) == 0;
  }
  bool keyword(std::string_view s) noexcept {
    if (!looking_at(s)) return false;
    p_ += s.size();
    return true;
  }
  // A name at p_, passed; `out` views it.
  bool name(std::string_view* out);
  Entity* find_entity(std::string_view name) noexcept;
  Entity* find_pe(std::string_view name) noexcept;
  [[nodiscard]] bool entities_must_be_declared() const noexcept {
    return !has_doctype_ || standalone_ || (!has_external_subset_ && !has_pe_refs_);
  }
  // The bytes p_ .. end_ are replaced by `text` until the returned guard ends; errors inside
  // are reported at `anchor` (the reference in the document), naming `entity`.
  struct Detour {
    Checker& c;
    const char* p;
    const char* end;
    bool outermost;
    ~Detour() {
      c.p_ = p;
      c.end_ = end;
      if (outermost) c.anchor_ = nullptr;
      --c.detours_;
    }
  };
  Detour detour(std::string_view text, const char* anchor, std::string_view entity);

  const char* const begin_;
  const char* p_;
  const char* end_;
  WfSource source_;
  WfError error_;
  const char* anchor_ = nullptr;  // while in an entity's text: the reference in the document
  std::string_view anchor_entity_;
  int detours_ = 0;

  struct Open {
    const char* name;
    size_t len;
    size_t ns;  // namespace bindings this element declared
  };
  // The open elements: storage that only grows, and a count, so a tag costs a store.
  struct OpenStack {
    std::vector<Open> slots;
    size_t count = 0;
    [[nodiscard]] size_t size() const noexcept { return count; }
    [[nodiscard]] bool empty() const noexcept { return count == 0; }
    [[nodiscard]] const Open& back() const noexcept { return slots[count - 1]; }
    void push_back(const Open& open) {
      if (count == slots.size()) slots.resize(count < 32 ? 32 : 2 * count);
      slots[count++] = open;
    }
    void pop_back() noexcept { --count; }
  };
  OpenStack open_;
  struct Attr {
    const char* name;
    size_t len;
  };
  std::vector<Attr> attrs_;
  struct Binding {
    std::string_view prefix;
    std::string_view uri;
  };
  std::vector<Binding> ns_;
  size_t tag_bindings_ = 0;  // bindings the tag being read declared
  size_t prefixed_attrs_ = 0;

  // Keyed by views into the document or into a parameter entity's text, which outlive them.
  std::unordered_map<std::string_view, std::unique_ptr<Entity>> entities_;
  std::unordered_map<std::string_view, std::unique_ptr<Entity>> pes_;
  const char* doctype_lt_ = nullptr;
  std::string_view declared_encoding_;
  bool has_doctype_ = false;
  bool has_external_subset_ = false;
  bool has_pe_refs_ = false;
  bool skip_decls_ = false;  // after a parameter entity that is not read
  bool standalone_ = false;
  bool root_seen_ = false;
};

}  // namespace varnex::xml::wf
