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
  // Escaping stray bytes gives such surrogates, one per byte; an encoded surrogate in the
  // input is not UTF-8, so its bytes are escaped one by one too.
  EXPECT_EQ(escape_stray_bytes("\xC3\xA9\xFF\xED\xB3\xBF"),
            "\xC3\xA9\xED\xB3\xBF\xED\xB3\xAD\xED\xB2\xB3\xED\xB2\xBF");
}

// One U+FFFD per maximal subpart: a sequence cut short is one, each byte that cannot
// continue one is one of its own.
TEST(Utf8, RepairReplacesEachMaximalSubpart) {
  const std::pair<std::string, std::string> rows[] = {
      {"a\xE2\x82x", "a\uFFFDx"},                // cut short
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},    // a surrogate: ED cannot take A0
      {"\xF0\x9F\x98", "\uFFFD"},                // three of four, at the end
      {"\xF0\x80\x80", "\uFFFD\uFFFD\uFFFD"},    // overlong: F0 cannot take 80
      {"\xC0\xAF\xFF", "\uFFFD\uFFFD\uFFFD"},    // bytes that never start one
      {"\xE2\x82\xAC\xE2\x82", "\u20AC\uFFFD"},  // whole, then cut short
      {"plain \u00e9", "plain \u00e9"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(repair(in), out) << in;
}

TEST(Utf8, SpaceIsPythonsWhiteSpace) {
  // The ends of each range, and neighbours and look-alikes that are not white space.
  struct {
    char32_t cp;
    bool space, white_space;
  } rows[] = {
      {0x08, false, false},   {0x09, true, true},     {0x0D, true, true},   {0x0E, false, false},
      {0x1B, false, false},   {0x1C, true, false},    {0x1F, true, false},  {0x20, true, true},
      {0x21, false, false},   {0x84, false, false},   {0x85, true, true},   {0xA0, true, true},
      {0x180E, false, false}, {0x1680, true, true},   {0x2000, true, true}, {0x200A, true, true},
      {0x200B, false, false}, {0x2028, true, true},   {0x2029, true, true}, {0x202F, true, true},
      {0x205F, true, true},   {0x2060, false, false}, {0x3000, true, true}, {0xFEFF, false, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(is_space(row.cp), row.space) << std::hex << static_cast<unsigned>(row.cp);
    EXPECT_EQ(is_white_space(row.cp), row.white_space) << std::hex << static_cast<unsigned>(row.cp);
  }
}

TEST(Utf8, TrimSpaceTakesWhiteSpaceOffBothEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t q9 ready\r\n\n", "q9 ready"},
      {"\x1c\x1f"
       "a b\v\f",
       "a b"},
      {"\xc2\xa0\xe3\x80\x80x\xe2\x80\xa9\xc2\x85", "x"},
      {"\xc3\xa9", "\xc3\xa9"},
      {" \n ", ""},
      {"\xff ", "\xff"},
      {"\xc0\xa0x\xe3\x80", "\xc0\xa0x\xe3\x80"},  // an overlong and a cut-off space
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_space(in), out) << in;
}

}  // namespace
}  // namespace q9::utf8
