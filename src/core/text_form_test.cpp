// Tests of the text and literal forms and of truthiness.
#include "core/text_form.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace q9::text {
namespace {

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
