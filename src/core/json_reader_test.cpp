// Tests of the JSON reader's dialect and its error messages.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/json.hpp"

namespace q9::json {
namespace {

TEST(JsonReader, KeepsIntegerDigitsExactly) {
  struct {
    const char* text;
    const char* digits;
  } rows[] = {
      {"0", "0"},
      {"-0", "0"},
      {"1998", "1998"},
      {"-42", "-42"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"-99999999999999999999", "-99999999999999999999"},
  };
  for (const auto& row : rows) {
    Value v = parse(row.text);
    ASSERT_TRUE(v.is_integer()) << row.text;
    EXPECT_EQ(v.as_integer().digits, row.digits) << row.text;
  }
}

TEST(JsonReader, FractionsAndExponentsAreReals) {
  struct {
    const char* text;
    double value;
  } rows[] = {
      {"1.5", 1.5},           {"-0.0", -0.0},           {"1e2", 100.0},        {"1E-2", 0.01},
      {"2.0", 2.0},           {"1e400", INFINITY},      {"-1e400", -INFINITY}, {"1e-400", 0.0},
      {"Infinity", INFINITY}, {"-Infinity", -INFINITY},
  };
  for (const auto& row : rows) {
    Value v = parse(row.text);
    ASSERT_TRUE(v.is_real()) << row.text;
    EXPECT_EQ(v.as_real(), row.value) << row.text;
  }
  EXPECT_TRUE(std::signbit(parse("-0.0").as_real()));
  EXPECT_TRUE(std::isnan(parse("NaN").as_real()));
}

TEST(JsonReader, ObjectsKeepOrderAndTakeTheLastValueOfARepeatedKey) {
  Value v = parse(R"({"b": 1, "a": 2, "b": 3})");
  const Object& o = v.as_object();
  ASSERT_EQ(o.size(), 2u);
  auto it = o.begin();
  EXPECT_EQ(it->first, "b");
  EXPECT_EQ(it->second, Value(3));
  ++it;
  EXPECT_EQ(it->first, "a");
}

TEST(JsonReader, LargeObjectsStayUniqueAndOrdered) {
  std::string text = "{";
  for (int i = 0; i < 100; ++i)
    text += "\"k" + std::to_string(i % 50) + "\": " + std::to_string(i) + ",";
  text.back() = '}';
  const Value v = parse(text);
  const Object& o = v.as_object();
  ASSERT_EQ(o.size(), 50u);
  EXPECT_EQ(o.begin()->first, "k0");
  EXPECT_EQ(*o.find("k0"), Value(50));
  EXPECT_EQ(*o.find("k49"), Value(99));
}

TEST(JsonReader, DecodesEscapesAndSurrogatePairs) {
  EXPECT_EQ(parse(R"("a\"b\\c\/d\b\f\n\r\t")").as_string(), "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(parse(R"("\u00e9\u2014")").as_string(), "\xC3\xA9\xE2\x80\x94");
  EXPECT_EQ(parse(R"("\ud83c\udf89")").as_string(), "\xF0\x9F\x8E\x89");
  EXPECT_EQ(parse("\"Z\xC3\xBCrich\"").as_string(), "Z\xC3\xBCrich");
  EXPECT_EQ(parse(" \t\r\n[ ]\n ").as_array().size(), 0u);
  // Long runs are searched eight bytes at a time; bytes that differ from '"' or '\\'
  // only in the high bit (A2, DC) are not taken for them.
  EXPECT_EQ(parse("\"\xC2\xA2\xDC\x9C"
                  "0123456789abcdef\\\"x\\\\0123456\"")
                .as_string(),
            "\xC2\xA2\xDC\x9C"
            "0123456789abcdef\"x\\0123456");
}

TEST(JsonReader, RejectsMalformedInputWithPosition) {
  struct {
    const char* text;
    const char* message;
  } rows[] = {
      {"", "data.json: line 1 column 1: expected a value"},
      {"Inf", "data.json: line 1 column 1: expected a value"},
      {"nan", "data.json: line 1 column 1: expected a value"},
      {"-NaN", "data.json: line 1 column 1: expected a value"},
      {"{\n  \"a\": 1\n  \"b\": 2}", "data.json: line 3 column 3: expected ',' or '}'"},
      {"[1 2]", "data.json: line 1 column 4: expected ',' or ']'"},
      {"{'a': 1}", "data.json: line 1 column 2: expected a key in double quotes"},
      {"{\"a\" 1}", "data.json: line 1 column 6: expected ':'"},
      {"\"abc", "data.json: line 1 column 1: unterminated string"},
      {"\"a\tb\"", "data.json: line 1 column 3: control character in string"},
      {"\"0123456789abcdef\x1f\"", "data.json: line 1 column 18: control character in string"},
      {"\"\\x\"", "data.json: line 1 column 2: invalid escape"},
      {"\"\\u12g4\"", "data.json: line 1 column 2: invalid \\u escape"},
      {"\"\\ud800\"", "data.json: line 1 column 2: lone surrogate in \\u escape"},
      {"\"\\udc00\"", "data.json: line 1 column 2: lone surrogate in \\u escape"},
      {"\"\\ud800\\u0041\"", "data.json: line 1 column 2: lone surrogate in \\u escape"},
      {"01", "data.json: line 1 column 2: unexpected data after the value"},
      {"1.", "data.json: line 1 column 2: unexpected data after the value"},
      {"[1,]", "data.json: line 1 column 4: expected a value"},
      {"\xEF\xBB\xBF{}", "data.json: line 1 column 1: unexpected byte-order mark at the start"},
      {"\"\xC3\xA9\" x", "data.json: line 1 column 5: unexpected data after the value"},
      {"\"\xFF\"", "data.json: line 1 column 2: invalid UTF-8 at byte 1"},
  };
  for (const auto& row : rows) {
    try {
      parse(row.text, "data.json");
      ADD_FAILURE() << "accepted: " << row.text;
    } catch (const ParseError& e) {
      EXPECT_EQ(std::string(e.what()), row.message) << row.text;
    }
  }
}

TEST(JsonReader, NestingIsCappedBelowAThousandLevels) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(parse(nested(999)));
  EXPECT_THROW(parse(nested(1000)), ParseError);
  // Far deeper input fails cleanly instead of exhausting the stack.
  EXPECT_THROW(parse(std::string(200000, '[')), ParseError);
  std::string objects;
  for (int i = 0; i < 1000; ++i) objects += "{\"a\":";
  EXPECT_THROW(parse(objects), ParseError);
}

}  // namespace
}  // namespace q9::json
