// The one form names and list entries are compared in: tokens of letters and digits,
// compatibility form, case folded, accents dropped, legal forms left out.
// Tests: match_test.cpp (the table of spellings).
#pragma once

#include <string>
#include <string_view>

namespace q9::screen {

// Appends the tokens of `name` to `out`, each followed by one space. Steps: Unicode
// compatibility form and case folding ("ＭÜLLER" -> "muller"), accents dropped, "ß" as
// "ss", apostrophes removed ("O'Brien" -> "obrien"), a full stop after a single letter
// removed ("S.A." -> "sa", "J.P." -> "jp"), every other character that is not a letter
// or digit a break between tokens; then common legal forms ("Ltd", "GmbH", "Public
// Company Limited", ...) are left out unless nothing else is left; last, an "e" after
// "a", "o" or "u" is dropped within each token, so "mueller" and "muller" are one token.
// Text that is not UTF-8 is read with each stray byte as a break. Appends nothing for a
// name without letters or digits. Pure ASCII takes a path without table look-ups.
void append_tokens(std::string_view name, std::string& out);

// append_tokens() into a fresh string, for tests and queries.
std::string tokens_of(std::string_view name);

}  // namespace q9::screen
