// Hostile inputs: deep nesting, documents past 4 GiB, truncated and corrupted documents.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

constexpr size_t kDeep = 1'000'000;

TEST(DeepNesting, EveryOperationFinishes) {
  const std::string doc = nested(kDeep, "<t>x</t>", true);
  EXPECT_EQ(query(doc, "**.t"), V{"S:<t>x</t>"});
  EXPECT_EQ(query(doc, "**.t.#text"), V{"V:x"});
  EXPECT_EQ(query(doc, "**.zz|@count"), V{"V:0"});
  EXPECT_EQ(query(doc, "a.#text"), V{"V:x"});
  EXPECT_EQ(query(doc, "a.a.a.#"), V{"V:1"});
  EXPECT_EQ(query(doc, "a#(**.t == x)#.@id"), V{});
  EXPECT_TRUE(validate(doc));
  EXPECT_EQ(extract_element_text(doc), "x");
  EXPECT_EQ(collect_direct_children(doc).size(), 1u);
  EXPECT_EQ(query_many(doc, {"**.t", "a.a.#", "a.a.a.#text", "a#(**.t==x)#.#text"}),
            (std::vector<V>{{"S:<t>x</t>"}, {"V:1"}, {"V:x"}, {"V:x"}}));
  const std::string open = nested(kDeep, "<t>x", false);
  EXPECT_EQ(query(open, "**.t"), V{"S:<t>x"});
  EXPECT_EQ(query_many(open, {"**.t", "a.a.#"}), (std::vector<V>{{"S:<t>x"}, {"V:1"}}));
  EXPECT_FALSE(validate(open));
}

constexpr size_t kFourGiB = size_t{1} << 32;

// A document a page longer than 4 GiB: an anonymous mapping reads as zero pages without
// using memory, and zero bytes are plain text to the reader.
class HugeDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
    data_ = static_cast<char*>(p);
  }
  void TearDown() override {
    if (data_ != nullptr) munmap(data_, kSize);
  }
  // Writes `s` at `at`; the document ends where the last write does.
  void put(size_t at, std::string_view s) {
    std::memcpy(data_ + at, s.data(), s.size());
    end_ = std::max(end_, at + s.size());
  }
  [[nodiscard]] std::string_view doc() const { return {data_, end_}; }

  static constexpr size_t kSize = kFourGiB + 4096;
  char* data_ = nullptr;
  size_t end_ = 0;
};

TEST_F(HugeDocument, ElementsPastFourGiBAreCopied) {
  put(0, "<r><b>1</b>");
  put(kFourGiB - 4, "<b>2</b>");  // straddles the 32-bit limit
  put(kFourGiB + 100, "<b id=\"3\">3</b></r>");
  EXPECT_EQ(query(doc(), "r.b"), (V{"S:<b>1</b>", "M:<b>2</b>", "M:<b id=\"3\">3</b>"}));
  EXPECT_EQ(query(doc(), "r.b#(@id == 3)"), V{"M:<b id=\"3\">3</b>"});
  EXPECT_EQ(query(doc(), "r.b.#.#text|@sum"), V{"V:6"});
}

// The peak resident memory of this process (VmHWM), in bytes; 0 where /proc does not say.
size_t peak_resident() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  size_t kb = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmHWM: %zu kB", &kb) == 1) break;
  }
  std::fclose(f);
  return kb * 1024;
}

// |@last keeps one item: an element that must be copied is copied only when it stays the
// last, so a 4 GiB child passed over on the way costs no copy.
TEST_F(HugeDocument, OnlyTheLastElementIsCopied) {
  put(0, "<r><a>");
  put(kFourGiB + 100, "</a><b>2</b></r>");
  const size_t before = peak_resident();
  EXPECT_EQ(query(doc(), "r.*|@last"), V{"M:<b>2</b>"});
  EXPECT_EQ(query(doc(), "r.*|@last|@count"), V{"V:1"});
  EXPECT_EQ(query_many(doc(), {"r.*|@last", "r.b"}), (std::vector<V>{{"V:2"}, {"M:<b>2</b>"}}));
  EXPECT_EQ(query(std::string_view("<r><a>1</a><b/></r>"), "r.*|@last", false), V{"M:<b/>"});
  EXPECT_LT(peak_resident() - before, size_t{1} << 30);
}

// Damaged forms of these documents, run through paths that exercise every
// strategy, must end normally, keep spans inside the input, and give spans
// and copies of the same bytes.
TEST(Malformed, TruncatedOrCorruptedDocumentsAreSafe) {
  const std::vector<std::string> docs = {
      "<?xml version=\"1.0\"?><r><i id=\"1\" x='a&amp;b'><p> 12 </p><n>a</n></i>"
      "<i id=\"2\"/><!-- c --><i><![CDATA[<x>]]><p>3</p><n/></i></r>",
      "<!DOCTYPE r [<!ENTITY e \"v\">]><r><a><a><b>1</b></a></a><a/><b x=\"1\" x=\"2\"/></r>",
      "<r><a></b><c>t&#x41;&bogus;</c></r></r><?pi x?><r2/>",
  };
  const std::vector<std::string> paths = {
      "r.i",           "r.i.#.@id",  "r.i#(p > 10).n",     "r.i#(@id==2)#",
      "r.i#(p.# > 0)", "**.n|@sort", "**.b.#text|@sum",    "r.a.a.b",
      "r.i.1.p",       "r.*.#",      "**.c.#text|@unique", "r.i#(n % \"a*\")#.@x",
      "#text",         "r.a|@first", "**.a.b.#|@sort_n"};
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
  for (const std::string& doc : variants) {
    for (const auto& p : paths) {
      V spans = query(doc, p, true);
      const V copies = query(doc, p, false);
      ASSERT_EQ(spans.size(), copies.size()) << p << " on " << doc;
      for (size_t i = 0; i < copies.size(); ++i) {
        ASSERT_NE(spans[i], "S:<out of range>") << p << " on " << doc;
        if (spans[i].rfind("S:", 0) == 0) spans[i][0] = 'M';
        EXPECT_EQ(spans[i], copies[i]) << p << " on " << doc;
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

}  // namespace
}  // namespace varnex::engine::testing
