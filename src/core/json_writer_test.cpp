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
  // Plain text goes eight bytes at a time: what needs escaping is found at any offset.
  const std::string run = "0123456789abcdef";
  const struct {
    std::string special, ascii, utf8;
  } rows[] = {
      {"\"", "\\\"", "\\\""},
      {"\\", "\\\\", "\\\\"},
      {"\x1f", "\\u001f", "\\u001f"},
      {"\x7f", "\\u007f", "\x7f"},
      {"\xC3\xA9", "\\u00e9", "\xC3\xA9"},
      {"\xFF", "\\udcff", "\xFF"},
  };
  for (const auto& row : rows) {
    for (size_t at : {size_t{0}, size_t{7}, size_t{8}, size_t{9}, size_t{16}}) {
      const std::string head = run.substr(0, at), tail = run.substr(0, 16 - at);
      EXPECT_EQ(write(Value(head + row.special + tail), Encoding::Ascii),
                "\"" + head + row.ascii + tail + "\"")
          << at;
      EXPECT_EQ(write(Value(head + row.special + tail), Encoding::Utf8),
                "\"" + head + row.utf8 + tail + "\"")
          << at;
    }
  }
  // A long string is escaped in parts; a character may straddle two.
  std::string escaped;
  for (int i = 0; i < 5000; ++i) escaped += "\\\"";
  EXPECT_EQ(write(Value(std::string(4095, 'a') + "\xF0\x9F\x8E\x89" + std::string(5000, '"')),
                  Encoding::Ascii),
            "\"" + std::string(4095, 'a') + "\\ud83c\\udf89" + escaped + "\"");
}

// Written piece by piece, a large document comes out as write() makes it, in pieces
// large enough to be written as they are.
TEST(JsonWriter, HandsOverLargeDocumentsInPieces) {
  Array facts;
  for (int i = 0; i < 5000; ++i) facts.push_back(Object{{"claim", "fact " + std::to_string(i)}});
  const Value doc = Object{{"entity", "Big"}, {"facts", facts}, {"empty", Object{}}};
  std::vector<std::string> pieces;
  Writer w(Encoding::Utf8, [&](std::string_view piece) { pieces.emplace_back(piece); });
  w.begin_object();
  w.key("entity");
  w.string("Big");
  w.key("facts");
  w.value(facts);
  w.key("empty");
  w.begin_object();
  w.end();
  w.end();
  EXPECT_EQ(w.finish(), "");
  ASSERT_GT(pieces.size(), 2u);
  for (size_t i = 0; i + 1 < pieces.size(); ++i) EXPECT_GE(pieces[i].size(), 64u << 10);
  std::string all;
  for (const std::string& piece : pieces) all += piece;
  EXPECT_EQ(all, write(doc, Encoding::Utf8));
}

TEST(JsonWriter, ReadsBackWhatItWrote) {
  const char* text = R"({"a": [1, 2.5, -0.0, "x\u2028y", {"b": null}], "c": 1e300})";
  Value v = parse(text);
  EXPECT_EQ(parse(write(v, Encoding::Ascii)), v);
  EXPECT_EQ(parse(write(v, Encoding::Utf8)), v);
}

}  // namespace
}  // namespace q9::json
