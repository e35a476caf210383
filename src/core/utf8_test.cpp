// Tests of UTF-8 validation and coding.
#include "core/utf8.hpp"

#include <gtest/gtest.h>

namespace q9::utf8 {
namespace {

TEST(Utf8, FindsTheFirstMalformedByte) {
  struct {
    std::string bytes;
    std::optional<size_t> at;
  } rows[] = {
      {"plain", std::nullopt},
      {"\xC3\xA9\xE2\x80\x94\xF0\x9F\x8E\x89", std::nullopt},
      {"ab\xFF", 2},
      {"\xC0\x80", 0},          // overlong NUL
      {"\xE0\x80\xAF", 0},      // overlong
      {"x\xED\xA0\x80", 1},     // encoded surrogate
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xE2\x80", 0},          // truncated
      {"a\x80", 1},             // stray continuation
      // Long ASCII runs are skipped a word at a time; the offset stays exact.
      {"0123456789abcdef\xC3\xA9" + std::string(13, 'x') + "\xFF", 31},
      {"01234567\xE2\x80\x94" + std::string(21, 'x') + "\xE2\x80", 32},
      {std::string(40, 'a') + "\xC3", 40},
  };
  for (const auto& row : rows) EXPECT_EQ(find_invalid(row.bytes), row.at);
}

TEST(Utf8, EncodesAndDecodesEveryPlane) {
  for (char32_t cp :
       {0x41u, 0xE9u, 0x7FFu, 0x800u, 0x2014u, 0xFFFFu, 0x10000u, 0x1F389u, 0x10FFFFu}) {
    std::string s;
    append(s, cp);
    EXPECT_FALSE(find_invalid(s).has_value());
    size_t i = 0;
    EXPECT_EQ(decode(s, i), cp);
    EXPECT_EQ(i, s.size());
    EXPECT_EQ(length(s), 1u);
  }
  std::string many;  // long enough for the word-wise count to add up its lanes
  for (int i = 0; i < 300; ++i) {
    for (char32_t cp : {0x41u, 0xE9u, 0x2014u, 0x1F389u, 0x10FFFFu}) append(many, cp);
  }
  EXPECT_EQ(length(many), 1500u);
  EXPECT_EQ(length(many.substr(1, many.size() - 5)), 1498u);
}

TEST(Utf8, DecodesMalformedBytesOneAtATime) {
  const std::string s = "a\xE2\x82\xC3\xA9\xFF";  // truncated euro sign, é, stray byte
  size_t i = 1;
  EXPECT_EQ(decode(s, i), 0xDCE2u);
  EXPECT_EQ(decode(s, i), 0xDC82u);
  EXPECT_EQ(decode(s, i), 0xE9u);
  EXPECT_EQ(decode(s, i), 0xDCFFu);
  EXPECT_EQ(i, s.size());
  const std::string escaped = "\xED\xB3\xBF";  // U+DCFF, as surrogate escapes are carried
  i = 0;
  EXPECT_EQ(decode(escaped, i), 0xDCFFu);
  EXPECT_EQ(i, 3u);
}

}  // namespace
}  // namespace q9::utf8
