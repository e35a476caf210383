// Text as messages and terminals show it: quoted, or kept to one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace q9::text {

// Quotes a text: single quotes, or double quotes when it holds a single quote and no
// double quote; backslash and the enclosing quote are escaped, \t \n \r written as
// such, other non-printable characters as \xhh, \uhhhh or \Uhhhhhhhh.
std::string quote_text(std::string_view utf8);

// Appends `prefix` and then `value` as `digits` lower-case hex digits, the form of the
// escapes \xhh, \uhhhh and \Uhhhhhhhh.
void append_hex_escape(std::string& out, std::string_view prefix, char32_t value, int digits);
// The same written at `to`, which has room for it; returns where it ends.
char* put_hex_escape(char* to, std::string_view prefix, char32_t value, int digits);

// "[" + quoted items joined by ", " + "]": the list text used in gate messages.
std::string list_text(const std::vector<std::string>& items);

// `text` fit for one line of a message or a terminal: bytes that are not UTF-8 as \udcXX
// (as Python shows the bytes of an argument it could not decode); the characters that would
// end the line, drive the terminal or reorder what follows it (C0 and C1 controls, DEL, the
// line and paragraph separators, the bidirectional embeddings, overrides and isolates) as
// \n, \r, \t or \uXXXX. Other text keeps its bytes.
std::string one_line(std::string_view text);

// Whether a code point prints as itself in quote_text(): false for control, format,
// surrogate, private-use, unassigned and separator characters other than the space.
bool is_printable(char32_t cp);

}  // namespace q9::text
