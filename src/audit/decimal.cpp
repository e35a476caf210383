// Decimal arithmetic on digit strings: only what matching needs (compare, add), exact at
// any length. Tests: match_test.cpp.
#include "audit/decimal.hpp"

#include <algorithm>

namespace q9::audit {

std::string Decimal::text() const {
  if (digits.empty()) return "0";
  std::string out = negative ? "-" : "";
  if (exponent >= 0) {
    out += digits;
    out.append(static_cast<size_t>(exponent), '0');
    return out;
  }
  const int64_t whole = static_cast<int64_t>(digits.size()) + exponent;
  if (whole > 0) {
    out.append(digits, 0, static_cast<size_t>(whole));
    out += '.';
    out.append(digits, static_cast<size_t>(whole));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-whole), '0');
    out += digits;
  }
  return out;
}

Decimal make_decimal(bool negative, std::string_view digits, int64_t exponent) {
  size_t first = digits.find_first_not_of('0');
  if (first == std::string_view::npos) return {};
  size_t last = digits.find_last_not_of('0');
  return {negative, std::string(digits.substr(first, last - first + 1)),
          exponent + static_cast<int64_t>(digits.size() - 1 - last)};
}

namespace {

// Compares magnitudes of two numbers in the normal form.
int _compare_magnitude(const Decimal& a, const Decimal& b) {
  if (a.is_zero() || b.is_zero()) return a.is_zero() ? (b.is_zero() ? 0 : -1) : 1;
  // The power of ten of the leading digit decides, then the digits (without trailing zeros,
  // a shorter run that is a prefix is the smaller).
  const int64_t lead_a = static_cast<int64_t>(a.digits.size()) + a.exponent;
  const int64_t lead_b = static_cast<int64_t>(b.digits.size()) + b.exponent;
  if (lead_a != lead_b) return lead_a < lead_b ? -1 : 1;
  const int c = a.digits.compare(b.digits);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// The digits of `d` written down to the power of ten `to` (<= its exponent).
std::string _aligned(const Decimal& d, int64_t to) {
  std::string s = d.digits;
  s.append(static_cast<size_t>(d.exponent - to), '0');
  return s;
}

}  // namespace

int compare(const Decimal& a, const Decimal& b) {
  const bool neg_a = a.negative && !a.is_zero(), neg_b = b.negative && !b.is_zero();
  if (neg_a != neg_b) return neg_a ? -1 : 1;
  const int m = _compare_magnitude(a, b);
  return neg_a ? -m : m;
}

Decimal add(const Decimal& a, const Decimal& b) {
  if (a.is_zero()) return b;
  if (b.is_zero()) return a;
  const int64_t to = std::min(a.exponent, b.exponent);
  std::string x = _aligned(a, to), y = _aligned(b, to);
  const size_t n = std::max(x.size(), y.size()) + 1;
  x.insert(0, n - x.size(), '0');
  y.insert(0, n - y.size(), '0');
  bool negative = a.negative;
  if (a.negative == b.negative) {
    int carry = 0;
    for (size_t i = n; i-- > 0;) {
      const int s = (x[i] - '0') + (y[i] - '0') + carry;
      x[i] = static_cast<char>('0' + s % 10);
      carry = s / 10;
    }
  } else {
    // The larger magnitude minus the smaller, with the larger's sign.
    if (x < y) {
      std::swap(x, y);
      negative = b.negative;
    }
    int borrow = 0;
    for (size_t i = n; i-- > 0;) {
      int s = (x[i] - '0') - (y[i] - '0') - borrow;
      borrow = s < 0;
      x[i] = static_cast<char>('0' + (s + 10) % 10);
    }
  }
  return make_decimal(negative, x, to);
}

}  // namespace q9::audit
