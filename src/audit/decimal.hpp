// Exact decimal numbers: what a figure's value is held in, compared and rounded without the
// errors of binary floating point.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace q9::audit {

// An exact decimal number: digits × 10^exponent. Held as text, so that a figure of any
// length is compared without the rounding of binary floating point.
struct Decimal {
  bool negative = false;
  std::string digits;    // no leading or trailing zeros; empty for zero
  int64_t exponent = 0;  // of the last digit

  bool is_zero() const { return digits.empty(); }
  // Plain decimal text ("5440000000", "-22.9", "0.05"), the form JSON numbers take.
  std::string text() const;
  bool operator==(const Decimal&) const = default;
};

// <0, 0, >0 as a is below, equal to or above b.
int compare(const Decimal& a, const Decimal& b);
// a + b, exact.
Decimal add(const Decimal& a, const Decimal& b);
// `digits` × 10^exponent, with `negative`, brought to the normal form.
Decimal make_decimal(bool negative, std::string_view digits, int64_t exponent);

}  // namespace q9::audit
