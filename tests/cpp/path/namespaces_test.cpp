// Names in namespaces as the compiler reads them: braces, prefix maps, and their errors.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "path/compiler.hpp"
#include "path/describe.hpp"

namespace varnex::path {
namespace {

NamespaceMap atom_map() {
  NamespaceMap map;
  map.bind("a", "urn:atom");
  map.bind("", "urn:default");
  return map;
}

std::string described(std::string_view text, const NamespaceMap* map = nullptr) {
  auto compiled = compile(text, map);
  if (auto* e = std::get_if<ParseError>(&compiled)) return "error: " + e->message();
  return describe(*std::get<ProgramPtr>(compiled));
}

struct Case {
  const char* path;
  bool mapped;
  const char* contains;  // a part of the description, or of the error
};

TEST(NamespacesCompile, FormsAndMaps) {
  const NamespaceMap map = atom_map();
  const Case cases[] = {
      {"{urn:x}feed.{urn:x}entry", false, "{urn:x}feed"},
      {"{http://www.w3.org/2005/Atom}feed", false, "{http://www.w3.org/2005/Atom}feed"},
      {"rss.{}title", false, "{}title"},
      {"{*}title", false, "title"},
      {"a.@{}id", false, "@{}id"},
      {"a.@{urn:x}id", false, "@{urn:x}id"},
      {"{urn:x}*", false, "{urn:x}~"},
      {"{urn:x(y).z|w}a", false, "{urn:x(y).z|w}a"},  // the URI hides dots, parentheses, bars
      {"{urn:\\}x}a", false, "{urn:}x}a"},            // an escaped brace
      {"a:feed", true, "{urn:atom}feed"},
      {"feed", true, "{urn:default}feed"},
      {"a.@id", true, "@id"},                 // "" binds element names only
      {"a.@a:id", true, "@{urn:atom}id"},
      {"a.@xml:lang", true, "@{http://www.w3.org/XML/1998/namespace}lang"},
      {"*:feed", true, "*:feed"},             // a pattern over prefixes stays as written
      {"a#({urn:x}b.c=1)", false, "{urn:x}b"},
      {"a#(a:b=1)", true, "{urn:atom}b"},
      {"**.{urn:x}a", false, "**{urn:x}a"},
      {"x:feed", false, "x:feed"},            // no map: prefixes as written
  };
  for (const Case& c : cases) {
    const std::string got = described(c.path, c.mapped ? &map : nullptr);
    EXPECT_NE(got.find(c.contains), std::string::npos) << c.path << " -> " << got;
  }
}

TEST(NamespacesCompile, ScopedOnlyWhenANameTestsANamespace) {
  const NamespaceMap map = atom_map();
  const NamespaceMap empty;
  const auto scoped = [](std::string_view text, const NamespaceMap* m) {
    return std::get<ProgramPtr>(compile(text, m))->scoped;
  };
  EXPECT_FALSE(scoped("a.b#(@c=1).@d", nullptr));
  EXPECT_FALSE(scoped("{*}a", nullptr));
  EXPECT_FALSE(scoped("b.@id", &empty));
  EXPECT_TRUE(scoped("a.{}b", nullptr));
  EXPECT_TRUE(scoped("a.@{}b", nullptr));
  EXPECT_TRUE(scoped("a#({u}b)", nullptr));
  EXPECT_TRUE(scoped("x", &map));
}

struct ErrorCase {
  const char* path;
  ParseErrorKind kind;
  size_t at;
  const char* message;
};

TEST(NamespacesCompile, ErrorsSayWhere) {
  NamespaceMap map;
  map.bind("a", "urn:a");
  const ErrorCase cases[] = {
      {"x.{urn:y", ParseErrorKind::UnclosedBrace, 2, "unclosed { in name"},
      {"x.@{urn:y", ParseErrorKind::UnclosedBrace, 3, "unclosed { in name"},
      {"x.a{b}c", ParseErrorKind::BraceInName, 3, "{ inside a name"},
      {"x.{u}a{b}", ParseErrorKind::BraceInName, 6, "{ inside a name"},
      {"x.{u}", ParseErrorKind::EmptyLocalName, 4, "name missing after its namespace"},
      {"x.{u}p:a", ParseErrorKind::PrefixInClark, 6, "a name after {uri} has no prefix"},
      {"x.b:c", ParseErrorKind::UnboundPrefix, 2, "prefix not bound by namespaces: b"},
      {"x#(@b:c=1)", ParseErrorKind::UnboundPrefix, 4, "prefix not bound by namespaces: b"},
      {"a:x.a:", ParseErrorKind::EmptyLocalName, 5, "name missing after its namespace"},
  };
  for (const ErrorCase& c : cases) {
    auto compiled = compile(c.path, &map);
    const auto* e = std::get_if<ParseError>(&compiled);
    ASSERT_NE(e, nullptr) << c.path;
    EXPECT_EQ(e->kind, c.kind) << c.path;
    EXPECT_EQ(e->at, c.at) << c.path;
    EXPECT_NE(e->message().find(c.message), std::string::npos) << c.path << ": " << e->message();
  }
}

TEST(NamespacesCompile, PathsWithoutBracesMeanWhatTheyMeant) {
  // Braces open a namespace only where a name starts: elsewhere they are what they were.
  EXPECT_NE(described("a#(b={x)").find("'{x'"), std::string::npos) << described("a#(b={x)");
  EXPECT_EQ(described("a.b|@count"), described("a.b|@count", nullptr));
}

TEST(NamespaceMap, KeyTellsMapsApart) {
  NamespaceMap one;
  one.bind("a", "bc");
  NamespaceMap two;
  two.bind("ab", "c");
  EXPECT_NE(one.key(), two.key());
  NamespaceMap again;
  again.bind("a", "zz");
  again.bind("a", "bc");  // the later binding wins
  EXPECT_EQ(one.key(), again.key());
}

}  // namespace
}  // namespace varnex::path
