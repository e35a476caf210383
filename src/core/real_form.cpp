// The shortest round-trip text of reals. std::to_chars gives the digits; the layout
// (positional or scientific by the exponent, at least one digit after the point) is ours.
#include "core/real_form.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace q9::text {

std::string real_form(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in scientific form, then laid out as positional or
  // scientific text by the decimal exponent.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp = std::stoi(std::string(sci.substr(e_pos + 1)));
  std::string out = std::signbit(d) ? "-" : "";
  const int n = static_cast<int>(digits.size());
  if (exp >= -4 && exp <= 15) {
    if (exp >= 0) {
      if (n <= exp + 1) {
        out += digits;
        out.append(static_cast<size_t>(exp + 1 - n), '0');
        out += ".0";
      } else {
        out.append(digits, 0, static_cast<size_t>(exp + 1));
        out += '.';
        out.append(digits, static_cast<size_t>(exp + 1));
      }
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-exp - 1), '0');
      out += digits;
    }
  } else {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    out += ebuf;
  }
  return out;
}

}  // namespace q9::text
