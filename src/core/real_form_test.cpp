// Tests of the shortest round-trip text of reals.
#include "core/real_form.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace q9::text {
namespace {

TEST(RealForm, MatchesTheShortestRoundTripLayout) {
  struct {
    double value;
    const char* text;
  } rows[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {3.0, "3.0"},
      {12.5, "12.5"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.5e-7, "1.5e-07"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.2345e16, "1.2345e+16"},
      {123456789012345.6, "123456789012345.6"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {2.5e-308, "2.5e-308"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1e100, "1e+100"},
      {9999999999999998.0, "9999999999999998.0"},
      {NAN, "nan"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
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

}  // namespace
}  // namespace q9::text
