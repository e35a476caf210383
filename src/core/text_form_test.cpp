// Tests of the text, literal and real forms and of the printable rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/text_form.hpp"

namespace q9::text {
namespace {

TEST(RealForm, MatchesTheShortestRoundTripLayout) {
  struct {
    double value;
    const char* text;
  } rows[] = {
      {0.0, "0.0"},          {-0.0, "-0.0"},          {3.0, "3.0"},
      {12.5, "12.5"},        {0.0001, "0.0001"},      {0.00001, "1e-05"},
      {1.5e-7, "1.5e-07"},   {1e15, "1000000000000000.0"}, {1e16, "1e+16"},
      {1.2345e16, "1.2345e+16"}, {123456789012345.6, "123456789012345.6"},
      {0.1, "0.1"},          {1.0 / 3, "0.3333333333333333"}, {2.5e-308, "2.5e-308"},
      {5e-324, "5e-324"},    {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1e100, "1e+100"},     {9999999999999998.0, "9999999999999998.0"},
      {NAN, "nan"},          {INFINITY, "inf"},       {-INFINITY, "-inf"},
  };
  for (const auto& row : rows) EXPECT_EQ(real_form(row.value), row.text) << row.text;
}

TEST(RealForm, ReadsBackToTheSameDouble) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    std::string s = real_form(d);
    EXPECT_EQ(std::strtod(s.c_str(), nullptr), d) << s;
    ASSERT_TRUE(s.find('.') != std::string::npos || s.find('e') != std::string::npos) << s;
  }
}

TEST(TextForm, WritesEveryKind) {
  using json::Array;
  using json::Object;
  using json::Value;
  struct {
    Value value;
    const char* text;
  } rows[] = {
      {Value("a<b"), "a<b"},
      {Value(1998), "1998"},
      {Value(json::Integer{"-123456789012345678901234567890"}), "-123456789012345678901234567890"},
      {Value(1998.0), "1998.0"},
      {Value(true), "True"},
      {Value(false), "False"},
      {Value(nullptr), "None"},
      {Value(Array{}), "[]"},
      {Value(Object{}), "{}"},
      {Value(Array{1, "a", nullptr, 2.5, Array{true}}), "[1, 'a', None, 2.5, [True]]"},
      {Value(Object{{"k", "v"}, {"n", Object{{"x", Array{}}}}}), "{'k': 'v', 'n': {'x': []}}"},
      {Value(Array{"it's", "say \"hi\"", "both ' \"", "back\\slash"}),
       "[\"it's\", 'say \"hi\"', 'both \\' \"', 'back\\\\slash']"},
  };
  for (const auto& row : rows) EXPECT_EQ(text_form(row.value), row.text) << row.text;
  EXPECT_EQ(literal_form(Value("x")), "'x'");
  EXPECT_EQ(literal_form(Value(3)), "3");
}

TEST(QuoteText, EscapesWhatDoesNotPrint) {
  struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"4px", "'4px'"},
      {"a\tb\nc\rd", "'a\\tb\\nc\\rd'"},
      {"\x01\x1f\x7f", "'\\x01\\x1f\\x7f'"},
      {"\xC2\xA0", "'\\xa0'"},                        // no-break space
      {"\xC2\x85", "'\\x85'"},                        // next line
      {"\xC2\xAD", "'\\xad'"},                        // soft hyphen (format)
      {"\xE2\x80\xA8", "'\\u2028'"},                  // line separator
      {"\xE2\x80\x8B", "'\\u200b'"},                  // zero width space (format)
      {"\xE3\x80\x80", "'\\u3000'"},                  // ideographic space
      {"\xEE\x80\x80", "'\\ue000'"},                  // private use
      {"\xF3\xB0\x80\x80", "'\\U000f0000'"},          // plane 15 private use
      {"\xF0\x9F\x8E\x89", "'\xF0\x9F\x8E\x89'"},     // emoji prints as itself
      {"Z\xC3\xBCrich \xE2\x80\x94", "'Z\xC3\xBCrich \xE2\x80\x94'"},
      {"\xF0\x9F\xAB\xB7", "'\\U0001faf7'"},          // assigned only in Unicode 15
      {"\xF0\x9F\xAB\xB0", "'\xF0\x9F\xAB\xB0'"},     // assigned in Unicode 14
  };
  for (const auto& row : rows) EXPECT_EQ(quote_text(row.in), row.out) << row.in;
  EXPECT_EQ(list_text({"4px", "8px 8px 0 0"}), "['4px', '8px 8px 0 0']");
  EXPECT_EQ(list_text({}), "[]");
  EXPECT_EQ(list_text({"it's"}), "[\"it's\"]");
}

TEST(Truthy, FollowsTheValueKinds) {
  using json::Array;
  using json::Object;
  using json::Value;
  EXPECT_FALSE(truthy(Value(nullptr)));
  EXPECT_FALSE(truthy(Value(false)));
  EXPECT_FALSE(truthy(Value(0)));
  EXPECT_FALSE(truthy(Value(0.0)));
  EXPECT_FALSE(truthy(Value(-0.0)));
  EXPECT_FALSE(truthy(Value("")));
  EXPECT_FALSE(truthy(Value(Array{})));
  EXPECT_FALSE(truthy(Value(Object{})));
  EXPECT_TRUE(truthy(Value("no")));
  EXPECT_TRUE(truthy(Value(-1)));
  EXPECT_TRUE(truthy(Value(NAN)));
  EXPECT_TRUE(truthy(Value(Array{nullptr})));
}

}  // namespace
}  // namespace q9::text
