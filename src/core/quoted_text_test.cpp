// Tests of quoted and one-line text and of the printable rule.
#include "core/quoted_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace q9::text {
namespace {

TEST(QuoteText, EscapesWhatDoesNotPrint) {
  struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"4px", "'4px'"},
      {"a\tb\nc\rd", "'a\\tb\\nc\\rd'"},
      {"\x01\x1f\x7f", "'\\x01\\x1f\\x7f'"},
      {"\xC2\xA0", "'\\xa0'"},                     // no-break space
      {"\xC2\x85", "'\\x85'"},                     // next line
      {"\xC2\xAD", "'\\xad'"},                     // soft hyphen (format)
      {"\xE2\x80\xA8", "'\\u2028'"},               // line separator
      {"\xE2\x80\x8B", "'\\u200b'"},               // zero width space (format)
      {"\xE3\x80\x80", "'\\u3000'"},               // ideographic space
      {"\xEE\x80\x80", "'\\ue000'"},               // private use
      {"\xF3\xB0\x80\x80", "'\\U000f0000'"},       // plane 15 private use
      {"\xF0\x9F\x8E\x89", "'\xF0\x9F\x8E\x89'"},  // emoji prints as itself
      {"Z\xC3\xBCrich \xE2\x80\x94", "'Z\xC3\xBCrich \xE2\x80\x94'"},
      {"\xF0\x9F\xAB\xB7", "'\\U0001faf7'"},       // assigned only in Unicode 15
      {"\xF0\x9F\xAB\xB0", "'\xF0\x9F\xAB\xB0'"},  // assigned in Unicode 14
  };
  for (const auto& row : rows) EXPECT_EQ(quote_text(row.in), row.out) << row.in;
  EXPECT_EQ(list_text({"4px", "8px 8px 0 0"}), "['4px', '8px 8px 0 0']");
  EXPECT_EQ(list_text({}), "[]");
  EXPECT_EQ(list_text({"it's"}), "[\"it's\"]");
}

// Each line stays one line and nothing reaches the terminal raw; bytes that are not UTF-8,
// and the encoded surrogates that are not either, show one \udcXX per byte.
TEST(OneLine, EscapesWhatWouldBreakTheLine) {
  const std::pair<std::string, std::string> rows[] = {
      {"M\u00fcller AG", "M\u00fcller AG"},
      {"a\nb\tc\r", "a\\nb\\tc\\r"},
      {"\x1b[31m\x7f", "\\u001b[31m\\u007f"},
      {"\u0085\u2028\u202e\u2066", "\\u0085\\u2028\\u202e\\u2066"},
      {"caf\xe9", "caf\\udce9"},
      {"\xed\xb3\xbf", "\\udced\\udcb3\\udcbf"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(one_line(in), out) << in;
}

}  // namespace
}  // namespace q9::text
