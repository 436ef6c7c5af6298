// The strict checker's document type declaration: the internal subset's markup declarations,
// its parameter entities (internal ones read in place, external ones never), and the entity
// table the document part checks references against.
#include <utility>

#include "xml/unescape.hpp"
#include "xml/wellformed_checker.hpp"

namespace varnex::xml::wf {

using chars::plain_run_end;

bool Checker::decl_error() {
  // The end of a parameter entity's text cuts a declaration short; the document's, the DTD.
  if (at_end())
    return fail(detours_ > 0 ? WfRule::BadMarkupDecl : WfRule::UnclosedDoctype, doctype_lt_);
  return fail(*p_ == '%' ? WfRule::PeInMarkupDecl : WfRule::BadMarkupDecl, p_);
}

// doctypedecl ::= '<!DOCTYPE' S Name (S ExternalID)? S? ('[' intSubset ']' S?)? '>'
bool Checker::doctype() {
  doctype_lt_ = p_;
  has_doctype_ = true;
  p_ += 9;
  if (!ws()) return fail(WfRule::BadDoctype, p_);
  std::string_view root;
  if (!name(&root)) return false;
  if (ws() && (looking_at("SYSTEM") || looking_at("PUBLIC"))) {
    if (!external_id(false)) return false;
    has_external_subset_ = true;
    ws();
  }
  if (!at_end() && *p_ == '[') {
    ++p_;
    if (!internal_subset(false)) return false;
    ws();
  }
  if (at_end()) return fail(WfRule::UnclosedDoctype, doctype_lt_);
  if (*p_ != '>') return fail(WfRule::BadDoctype, p_);
  ++p_;
  return true;
}

// intSubset ::= (markupdecl | DeclSep)*      DeclSep ::= PEReference | S
// markupdecl ::= elementdecl | AttlistDecl | EntityDecl | NotationDecl | PI | Comment
// Ends past the ']'; in a parameter entity's text, at its end.
bool Checker::internal_subset(bool in_pe) {
  for (;;) {
    ws();
    if (at_end()) return in_pe || fail(WfRule::UnclosedDoctype, doctype_lt_);
    bool ok = false;
    if (*p_ == ']' && !in_pe) {
      ++p_;
      return true;
    } else if (*p_ == '%') {
      ok = pe_reference();
    } else if (looking_at("<!ELEMENT")) {
      ok = element_decl();
    } else if (looking_at("<!ATTLIST")) {
      ok = attlist_decl();
    } else if (looking_at("<!ENTITY")) {
      ok = entity_decl();
    } else if (looking_at("<!NOTATION")) {
      ok = notation_decl();
    } else if (looking_at("<!--")) {
      ok = comment();
    } else if (looking_at("<?")) {
      ok = pi();
    } else {
      return fail(WfRule::BadMarkupDecl, p_);
    }
    if (!ok) return false;
  }
}

// PEReference ::= '%' Name ';' between declarations. An internal parameter entity's text is
// read as declarations once; one that is not read (external, undeclared) ends the processing
// of the declarations after it, as it might have declared them first.
bool Checker::pe_reference() {
  const char* const percent = p_;
  ++p_;
  std::string_view pe_name;
  if (!name(&pe_name)) return false;
  if (at_end() || *p_ != ';') return fail(WfRule::BadReference, percent);
  ++p_;
  has_pe_refs_ = true;
  Entity* e = find_pe(pe_name);
  if (e == nullptr && standalone_) return fail(WfRule::UndeclaredEntity, percent, pe_name);
  if (e == nullptr || e->external) {
    if (!standalone_) skip_decls_ = true;
    return true;
  }
  if (e->as_content == Entity::State::Good) return true;
  if (e->as_content == Entity::State::Checking)
    return fail(WfRule::RecursiveEntity, percent, pe_name);
  if (detours_ >= kMaxDetours) return fail(WfRule::EntityTooDeep, percent, pe_name);
  e->as_content = Entity::State::Checking;
  {
    const Detour d = detour(e->replacement, percent, e->name);
    if (!internal_subset(true)) return false;
  }
  e->as_content = Entity::State::Good;
  return true;
}

// elementdecl ::= '<!ELEMENT' S Name S contentspec S? '>'
// contentspec ::= 'EMPTY' | 'ANY' | Mixed | children
// Mixed ::= '(' S? '#PCDATA' (S? '|' S? Name)* S? ')*' | '(' S? '#PCDATA' S? ')'
bool Checker::element_decl() {
  p_ += 9;
  std::string_view n;
  if (!ws()) return decl_error();
  if (!name(&n)) return false;
  if (!ws()) return decl_error();
  if (!keyword("EMPTY") && !keyword("ANY")) {
    if (at_end() || *p_ != '(') return decl_error();
    const char* const open = p_;
    ++p_;
    ws();
    if (keyword("#PCDATA")) {
      bool names = false;
      for (;;) {
        ws();
        if (at_end() || *p_ != '|') break;
        ++p_;
        ws();
        if (!name(&n)) return false;
        names = true;
      }
      if (!keyword(")")) return decl_error();
      if (!keyword("*") && names) return decl_error();
    } else {
      p_ = open;
      if (!content_particle(0)) return false;
    }
  }
  ws();
  return keyword(">") || decl_error();
}

// children ::= (choice | seq) ('?' | '*' | '+')?      cp ::= (Name | choice | seq) ('?' | '*' |
// '+')? choice ::= '(' S? cp ( S? '|' S? cp )+ S? ')'       seq ::= '(' S? cp ( S? ',' S? cp )* S?
// ')'
bool Checker::content_particle(int depth) {
  if (depth > kMaxNesting) return fail(WfRule::BadMarkupDecl, p_);
  if (!at_end() && *p_ == '(') {
    ++p_;
    ws();
    if (!content_particle(depth + 1)) return false;
    char separator = 0;
    for (;;) {
      ws();
      if (at_end()) return decl_error();
      const char c = *p_;
      if (c == ')') {
        ++p_;
        break;
      }
      if ((c != '|' && c != ',') || (separator != 0 && c != separator)) return decl_error();
      separator = c;
      ++p_;
      ws();
      if (!content_particle(depth + 1)) return false;
    }
  } else {
    std::string_view n;
    if (!name(&n)) return false;
  }
  if (!at_end() && (*p_ == '?' || *p_ == '*' || *p_ == '+')) ++p_;
  return true;
}

// NotationType ::= 'NOTATION' S '(' S? Name (S? '|' S? Name)* S? ')'
// Enumeration ::= '(' S? Nmtoken (S? '|' S? Nmtoken)* S? ')'       (p_ past the '(')
bool Checker::enumeration(bool notation) {
  for (;;) {
    ws();
    if (!at_end() && *p_ == '%') return decl_error();
    const char* const e = name_end(p_, !notation);
    if (e == nullptr) return false;
    p_ = e;
    ws();
    if (keyword(")")) return true;
    if (!keyword("|")) return decl_error();
  }
}

// AttlistDecl ::= '<!ATTLIST' S Name AttDef* S? '>'      AttDef ::= S Name S AttType S DefaultDecl
// AttType ::= 'CDATA' | 'ID' | 'IDREF' | 'IDREFS' | 'ENTITY' | 'ENTITIES' | 'NMTOKEN'
//           | 'NMTOKENS' | NotationType | Enumeration
// DefaultDecl ::= '#REQUIRED' | '#IMPLIED' | (('#FIXED' S)? AttValue)
bool Checker::attlist_decl() {
  static constexpr std::string_view kTypes[] = {"CDATA",    "IDREFS", "IDREF",    "ID",
                                                "ENTITIES", "ENTITY", "NMTOKENS", "NMTOKEN"};
  p_ += 9;
  std::string_view n;
  if (!ws()) return decl_error();
  if (!name(&n)) return false;
  for (;;) {
    const bool spaced = ws();
    if (keyword(">")) return true;
    if (!spaced) return decl_error();
    if (!name(&n)) return false;
    if (!ws()) return decl_error();
    bool typed = false;
    for (const std::string_view type : kTypes) {
      if (keyword(type)) {
        typed = true;
        break;
      }
    }
    if (!typed) {
      if (keyword("NOTATION")) {
        if (!ws() || !keyword("(")) return decl_error();
        if (!enumeration(true)) return false;
      } else if (keyword("(")) {
        if (!enumeration(false)) return false;
      } else {
        return decl_error();
      }
    }
    if (!ws()) return decl_error();
    if (keyword("#REQUIRED") || keyword("#IMPLIED")) continue;
    if (keyword("#FIXED") && !ws()) return decl_error();
    if (at_end() || (*p_ != '"' && *p_ != '\'')) return decl_error();
    const char quote = *p_++;
    if (!attribute_value(quote)) return false;
  }
}

// GEDecl ::= '<!ENTITY' S Name S EntityDef S? '>'      PEDecl ::= '<!ENTITY' S '%' S Name S PEDef
// S? '>' EntityDef ::= EntityValue | (ExternalID NDataDecl?)  PEDef ::= EntityValue | ExternalID
// NDataDecl ::= S 'NDATA' S Name
bool Checker::entity_decl() {
  p_ += 8;
  if (!ws()) return decl_error();
  bool parameter = false;
  if (!at_end() && *p_ == '%') {
    ++p_;
    if (!ws()) return decl_error();
    parameter = true;
  }
  auto e = std::make_unique<Entity>();
  if (!name(&e->name)) return false;
  if (!ws()) return decl_error();
  if (!at_end() && (*p_ == '"' || *p_ == '\'')) {
    if (!entity_value(&e->replacement)) return false;
  } else {
    if (!external_id(false)) return false;
    e->external = true;
    if (ws() && !parameter && keyword("NDATA")) {
      std::string_view notation;
      if (!ws()) return decl_error();
      if (!name(&notation)) return false;
      e->unparsed = true;
    }
  }
  ws();
  if (!keyword(">")) return decl_error();
  // The first declaration binds; the predefined entities keep their meaning.
  if (skip_decls_ || (!parameter && predefined_entity(e->name) != '\0')) return true;
  auto& table = parameter ? pes_ : entities_;
  const std::string_view key = e->name;
  table.try_emplace(key, std::move(e));
  return true;
}

// EntityValue ::= '"' ([^%&"] | PEReference | Reference)* '"' | "'" ([^%&'] | PEReference |
// Reference)* "'" The replacement text is the literal with its character references replaced;
// entity references stay, to be checked where the text is used. In the internal subset a parameter
// entity reference cannot stand inside a declaration.
bool Checker::entity_value(std::string* out) {
  const char quote = *p_;
  const char* const open = p_++;
  const char* run = p_;
  for (;;) {
    const char* p = quote == '"' ? plain_run_end<'"', '%', '&'>(p_, end_)
                                 : plain_run_end<'\'', '%', '&'>(p_, end_);
    if (p == end_) return fail(WfRule::BadLiteral, open);
    if (*p == quote) {
      out->append(run, p);
      p_ = p + 1;
      return true;
    }
    if (*p == '%') return fail(WfRule::PeInMarkupDecl, p);
    if (*p == '&') {
      p_ = p;
      std::string_view entity;
      uint32_t cp = 0;
      if (!reference(&entity, &cp)) return false;
      if (entity.empty()) {
        out->append(run, p);
        append_utf8(*out, cp);
        run = p_;
      }
      continue;
    }
    p = other_char(p);
    if (p == nullptr) return false;
    p_ = p;
  }
}

// ExternalID ::= 'SYSTEM' S SystemLiteral | 'PUBLIC' S PubidLiteral S SystemLiteral
// PublicID ::= 'PUBLIC' S PubidLiteral           (a notation's, with `public_alone`)
bool Checker::external_id(bool public_alone) {
  if (keyword("SYSTEM")) return ws() ? quoted_literal(false) : decl_error();
  if (!keyword("PUBLIC")) return decl_error();
  if (!ws()) return decl_error();
  if (!quoted_literal(true)) return false;
  const char* const after = p_;
  const bool spaced = ws();
  if (!at_end() && (*p_ == '"' || *p_ == '\''))
    return spaced ? quoted_literal(false) : decl_error();
  p_ = after;
  return public_alone || decl_error();
}

// SystemLiteral ::= ('"' [^"]* '"') | ("'" [^']* "'")
// PubidLiteral ::= '"' PubidChar* '"' | "'" (PubidChar - "'")* "'"
bool Checker::quoted_literal(bool pubid) {
  if (at_end() || (*p_ != '"' && *p_ != '\'')) return decl_error();
  const char quote = *p_;
  const char* const open = p_;
  const char* p = p_ + 1;
  for (;;) {
    if (pubid) {
      while (p < end_ && *p != quote && chars::has(*p, chars::kPubid)) ++p;
    } else {
      p = quote == '"' ? plain_run_end<'"', '"', '"'>(p, end_)
                       : plain_run_end<'\'', '\'', '\''>(p, end_);
    }
    if (p == end_) return fail(WfRule::BadLiteral, open);
    if (*p == quote) {
      p_ = p + 1;
      return true;
    }
    if (pubid) return fail(WfRule::BadPubidChar, p);
    p = other_char(p);
    if (p == nullptr) return false;
  }
}

// NotationDecl ::= '<!NOTATION' S Name S (ExternalID | PublicID) S? '>'
bool Checker::notation_decl() {
  p_ += 10;
  std::string_view n;
  if (!ws()) return decl_error();
  if (!name(&n)) return false;
  if (!ws()) return decl_error();
  if (!external_id(true)) return false;
  ws();
  return keyword(">") || decl_error();
}

}  // namespace varnex::xml::wf
