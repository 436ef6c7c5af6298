// Hostile inputs: deep nesting, documents past 4 GiB, and every truncation of odd documents.
#include <sys/mman.h>

#include <chrono>
#include <cstring>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

using V = std::vector<std::string>;

std::string nested(size_t depth, const std::string& core, bool closed = true) {
  std::string doc;
  doc.reserve(depth * 7 + core.size());
  for (size_t i = 0; i < depth; ++i) doc += "<a>";
  doc += core;
  if (closed) {
    for (size_t i = 0; i < depth; ++i) doc += "</a>";
  }
  return doc;
}

constexpr size_t kDeep = 1'000'000;

TEST(DeepNesting, EveryOperationFinishes) {
  const std::string doc = nested(kDeep, "<t>x</t>");
  EXPECT_EQ(query(doc, "**.t"), V{"S:<t>x</t>"});
  EXPECT_EQ(query(doc, "**.t.#text"), V{"V:x"});
  EXPECT_EQ(query(doc, "**.zz"), V{});
  EXPECT_EQ(query(doc, "**.zz|@count"), V{"V:0"});
  EXPECT_EQ(query(doc, "a.#text"), V{"V:x"});
  EXPECT_EQ(query(doc, "a.a.a.#"), V{"V:1"});
  EXPECT_EQ(query(doc, "a#(**.t == x)#.@id"), V{});
  EXPECT_TRUE(validate(doc));
  EXPECT_EQ(extract_element_text(doc), "x");
  EXPECT_TRUE(element_has_child_elements(doc));
  EXPECT_EQ(collect_direct_children(doc).size(), 1u);
}

TEST(DeepNesting, UnclosedDocument) {
  const std::string doc = nested(kDeep, "<t>x", /*closed=*/false);
  EXPECT_EQ(query(doc, "**.t"), V{"S:<t>x"});
  EXPECT_EQ(query(doc, "**.a.zz|@count"), V{"V:0"});
  EXPECT_FALSE(validate(doc));
  EXPECT_EQ(extract_element_text(doc), "x");
}

// An anonymous mapping reads as zero pages without using memory; zero bytes
// are plain text to the reader.
class HugeDocument {
 public:
  explicit HugeDocument(size_t size) : size_(size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
  }
  ~HugeDocument() {
    if (data_ != nullptr) munmap(data_, size_);
  }
  HugeDocument(const HugeDocument&) = delete;
  HugeDocument& operator=(const HugeDocument&) = delete;

  [[nodiscard]] bool ok() const { return data_ != nullptr; }
  void put(size_t at, std::string_view bytes) { std::memcpy(data_ + at, bytes.data(), bytes.size()); }
  [[nodiscard]] std::string_view view() const { return {data_, size_}; }

 private:
  char* data_ = nullptr;
  size_t size_;
};

TEST(HugeDocument, ElementsPastFourGiBAreCopied) {
  constexpr size_t kFour = size_t{1} << 32;
  HugeDocument doc(kFour + 4096);
  if (!doc.ok()) GTEST_SKIP() << "cannot map 4 GiB";
  doc.put(0, "<r><b>1</b>");
  // This element straddles the 32-bit limit; the next lies wholly beyond it.
  doc.put(kFour - 4, "<b>2</b>");
  doc.put(kFour + 100, "<b id=\"3\">3</b></r>");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(query(doc.view(), "r.b"), (V{"S:<b>1</b>", "M:<b>2</b>", "M:<b id=\"3\">3</b>"}));
  EXPECT_EQ(query(doc.view(), "r.b#(@id == 3)"), V{"M:<b id=\"3\">3</b>"});
  EXPECT_EQ(query(doc.view(), "r.b.#.#text|@sum"), V{"V:6"});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("seconds", std::to_string(seconds));
}

// Damaged forms of these documents, run through paths that exercise every
// strategy, must end normally and keep every span inside the input.
TEST(Malformed, TruncatedOrCorruptedDocumentsAreSafe) {
  const std::vector<std::string> docs = {
      "<?xml version=\"1.0\"?><r><i id=\"1\" x='a&amp;b'><p> 12 </p><n>a</n></i>"
      "<i id=\"2\"/><!-- c --><i><![CDATA[<x>]]><p>3</p><n/></i></r>",
      "<!DOCTYPE r [<!ENTITY e \"v\">]><r><a><a><b>1</b></a></a><a/><b x=\"1\" x=\"2\"/></r>",
      "<r><a></b><c>t&#x41;&bogus;</c></r></r><?pi x?><r2/>",
  };
  const std::vector<std::string> paths = {
      "r.i",           "r.i.#.@id",         "r.i#(p > 10).n",      "r.i#(@id==2)#",
      "r.i#(p.# > 0)", "**.n|@sort",        "**.b.#text|@sum",     "r.a.a.b",
      "r.i.1.p",       "r.*.#",             "**.c.#text|@unique",  "r.i#(n % \"a*\")#.@x",
      "#text",         "r.a|@first",        "**.a.b.#|@sort_n",
  };
  // Every truncation, and every single byte replaced by a markup character.
  std::vector<std::string> variants;
  for (const auto& full : docs) {
    for (size_t n = 0; n <= full.size(); ++n) variants.push_back(full.substr(0, n));
    for (size_t i = 0; i < full.size(); ++i) {
      for (const char c : {'<', '>', '/', '"', '&'}) {
        variants.push_back(full);
        variants.back()[i] = c;
      }
    }
  }
  {
    for (const std::string& doc : variants) {
      for (const auto& p : paths) {
        auto with_spans = query(doc, p, true);
        const auto copies = query(doc, p, false);
        // Spans and copies hold the same bytes; only the kind differs.
        ASSERT_EQ(with_spans.size(), copies.size()) << p << " on " << doc;
        for (size_t i = 0; i < copies.size(); ++i) {
          ASSERT_NE(with_spans[i], "S:<out of range>") << p << " on " << doc;
          if (with_spans[i].rfind("S:", 0) == 0) with_spans[i][0] = 'M';
          EXPECT_EQ(with_spans[i], copies[i]) << p << " on " << doc;
        }
      }
      (void)validate(doc);
      (void)extract_element_text(doc);
      for (const auto& ch : collect_direct_children(doc)) {
        ASSERT_LE(ch.start, ch.end);
        ASSERT_LE(ch.end, doc.size());
      }
    }
  }
}

}  // namespace
}  // namespace varnex::engine::testing
