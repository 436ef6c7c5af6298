// Strict UTF-8: what is valid, where and how invalid bytes go wrong (as CPython's decoder
// reports it), and the code point reading agreeing with the validator.
#include "base/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace varnex::utf8 {
namespace {

// Where the code point reading first fails, or the size when it never does.
size_t first_undecodable(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const Decoded d = decode(s, i);
    if (!d.ok) return i;
    i += d.len;
  }
  return s.size();
}

TEST(Utf8, ValidSequences) {
  for (const std::string_view b :
       {std::string_view(""), std::string_view("ascii only"), std::string_view("\xC2\x80"),
        std::string_view("\xDF\xBF"), std::string_view("\xE0\xA0\x80"),
        std::string_view("\xED\x9F\xBF"), std::string_view("\xEE\x80\x80"),
        std::string_view("\xEF\xBB\xBF"), std::string_view("\xF0\x90\x80\x80"),
        std::string_view("\xF4\x8F\xBF\xBF"), std::string_view("\0", 1)}) {
    // The vector prefix and the tail must agree wherever the sequence sits.
    const std::string padded = std::string(13, 'a') + std::string(b) + std::string(21, 'z');
    for (const std::string_view s : {b, std::string_view(padded)}) {
      EXPECT_TRUE(is_valid(s)) << s;
      EXPECT_EQ(first_undecodable(s), s.size()) << s;
    }
  }
}

TEST(Utf8, InvalidSequencesSayWhereAndHowLong) {
  const struct {
    const char* bytes;
    uint8_t len;     // the maximal invalid subsequence, with more bytes after it
    bool truncated;  // alone, the input ends inside it
  } cases[] = {
      {"\x80", 1, false},         {"\xBF", 1, false},         {"\xC0\x80", 1, false},  // overlong
      {"\xC1\xBF", 1, false},     {"\xE0\x9F\xBF", 1, false}, {"\xF0\x8F\xBF\xBF", 1, false},
      {"\xED\xA0\x80", 1, false}, {"\xED\xBF\xBF", 1, false},  // surrogates
      {"\xF4\x90\x80\x80", 1, false}, {"\xF5\x80\x80\x80", 1, false}, {"\xFF", 1, false},
      {"\xFE", 1, false},         {"\xC2", 1, true},          {"\xE2\x82", 2, true},
      {"\xF0\x9F\x98", 3, true},  {"\xC2\x41", 1, false},     {"\xE2\x28\xA1", 1, false},
      {"\xF0\x9F\x98\x28", 3, false}};
  for (const auto& c : cases) {
    const std::string_view bare = c.bytes;
    const auto alone = check(bare);
    ASSERT_TRUE(alone) << bare;
    EXPECT_EQ(alone->valid_up_to, 0u) << bare;
    EXPECT_EQ(alone->error_len, c.truncated ? 0 : c.len) << bare;
    EXPECT_EQ(first_undecodable(bare), 0u) << bare;
    const std::string padded = std::string(13, 'a') + std::string(bare) + std::string(21, 'z');
    const auto inside = check(padded);
    ASSERT_TRUE(inside) << bare;
    EXPECT_EQ(inside->valid_up_to, 13u) << bare;
    EXPECT_EQ(inside->error_len, c.len) << bare;
    EXPECT_EQ(first_undecodable(padded), 13u) << bare;
  }
}

}  // namespace
}  // namespace varnex::utf8
