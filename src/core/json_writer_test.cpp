// Tests of the indented JSON output form in both encodings.
#include <gtest/gtest.h>

#include <cmath>

#include "core/json.hpp"

namespace q9::json {
namespace {

TEST(JsonWriter, IndentsTwoSpacesWithOneMemberPerLine) {
  Value v = Object{{"path", "out.html"},
                   {"ok", false},
                   {"errors", Array{"a", "b"}},
                   {"warnings", Array{}},
                   {"stats", Object{}},
                   {"nested", Object{{"n", nullptr}, {"l", Array{Value(Array{1})}}}}};
  EXPECT_EQ(write(v, Encoding::Ascii),
            "{\n"
            "  \"path\": \"out.html\",\n"
            "  \"ok\": false,\n"
            "  \"errors\": [\n"
            "    \"a\",\n"
            "    \"b\"\n"
            "  ],\n"
            "  \"warnings\": [],\n"
            "  \"stats\": {},\n"
            "  \"nested\": {\n"
            "    \"n\": null,\n"
            "    \"l\": [\n"
            "      [\n"
            "        1\n"
            "      ]\n"
            "    ]\n"
            "  }\n"
            "}");
}

TEST(JsonWriter, WritesNumbersInTheirShortestForm) {
  struct {
    Value value;
    const char* text;
  } rows[] = {
      {Value(2.0), "2.0"},
      {Value(183.4189453125), "183.4189453125"},
      {Value(7.5927734375), "7.5927734375"},
      {Value(1e16), "1e+16"},
      {Value(1e15), "1000000000000000.0"},
      {Value(1e-5), "1e-05"},
      {Value(-0.0), "-0.0"},
      {Value(NAN), "NaN"},
      {Value(INFINITY), "Infinity"},
      {Value(-INFINITY), "-Infinity"},
      {Value(Integer{"123456789012345678901234567890"}), "123456789012345678901234567890"},
      {Value(true), "true"},
  };
  for (const auto& row : rows) EXPECT_EQ(write(row.value, Encoding::Ascii), row.text);
}

TEST(JsonWriter, EscapesStringsByEncoding) {
  const std::string s = "q\"\\/\n\r\t\b\f\x01\x7f\xC3\xA9\xE2\x80\x94\xF0\x9F\x8E\x89";
  EXPECT_EQ(write(Value(s), Encoding::Ascii),
            "\"q\\\"\\\\/\\n\\r\\t\\b\\f\\u0001\\u007f\\u00e9\\u2014\\ud83c\\udf89\"");
  EXPECT_EQ(write(Value(s), Encoding::Utf8),
            "\"q\\\"\\\\/\\n\\r\\t\\b\\f\\u0001\x7f\xC3\xA9\xE2\x80\x94\xF0\x9F\x8E\x89\"");
  // Keys are escaped like values.
  EXPECT_EQ(write(Object{{"\xC3\xA9", 1}}, Encoding::Ascii), "{\n  \"\\u00e9\": 1\n}");
}

TEST(JsonWriter, ReadsBackWhatItWrote) {
  const char* text = R"({"a": [1, 2.5, -0.0, "x\u2028y", {"b": null}], "c": 1e300})";
  Value v = parse(text);
  EXPECT_EQ(parse(write(v, Encoding::Ascii)), v);
  EXPECT_EQ(parse(write(v, Encoding::Utf8)), v);
}

}  // namespace
}  // namespace q9::json
