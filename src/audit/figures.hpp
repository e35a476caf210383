// The figures a text states about a company (amounts, percentages, percentage points) read
// from prose, tables and claims alike: the dossier's text and the facts in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "audit/decimal.hpp"

namespace q9::audit {

// What a figure counts: an amount (money or anything else), a percentage, or a change in
// percentage points; each is only ever the same quantity as a figure of its own kind.
enum class Kind { Amount, Percent, Points };

struct Figure {
  size_t begin = 0, end = 0;  // the bytes of the text it was read from; a range's both figures
                              // span the whole range
  Decimal value;              // the scale applied: "5.44bn" is 5440000000
  int64_t precision = 0;      // the power of ten of the last digit shown: 7 for "5.44bn"
  int scale = 0;              // the power of ten of its scale word: 9 for "bn", 0 without one
  Kind kind = Kind::Amount;
  // "" without one; an ISO 4217 code; "$" for a dollar of unknown country and "¥" for a yen
  // or yuan, which match any of theirs.
  std::string currency;
  bool parenthesized = false;  // "(1,234)": read as negative
};

// Hands each figure of `text` (UTF-8; stray bytes are read as non-letters) to `each`, in
// order. Linear in the length of `text` whatever it holds.
//
// Not figures: years 1900-2099 and the parts of dates, numbers inside a word or code ("A320",
// "FY2024", "ISO 9001", "1.2.3", "COVID-19"), integers below 100 with no unit, "[n]" citation
// marks. A range ("12–15%", "$5–6bn") is two figures that share the units either lacks.
void read_figures(std::string_view text, const std::function<void(const Figure&)>& each);

// The unit of a figure as output shows it: "%", "pp", the currency, or "".
std::string unit_text(const Figure& figure);

}  // namespace q9::audit
