// How values become text in the dossier and in messages: the text form of any JSON
// value, the quoted literal form of an element, and the shortest round-trip form of reals.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"

namespace q9::text {

// The text form: text as itself, integers exact, reals as real_form(), booleans
// "True"/"False", null "None", arrays "[a, b]" and objects "{k: v}" with literal forms.
std::string text_form(const json::Value& value);
void append_text_form(std::string& out, const json::Value& value);

// The literal form: the text form, except that text is quoted as quote_text() does.
std::string literal_form(const json::Value& value);

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

// The shortest decimal that reads back as `d`: positional with at least one digit
// after the point for decimal exponents -4..15 ("2.0", "0.0001"), otherwise
// scientific with a sign and two or more exponent digits ("1e+16", "1.5e-07");
// "nan", "inf", "-inf" for non-finite values.
std::string real_form(double d);

// `s` fit for one line of a terminal: characters that would end the line, drive the
// terminal or reorder what follows it (C0 and C1 controls, DEL, the line and paragraph
// separators, the bidirectional embeddings, overrides and isolates) written as \n, \r, \t
// or \uXXXX. Other text keeps its bytes.
std::string one_line(std::string_view s);

// Truthy: everything but false, null, zero, empty text, empty array, empty object.
bool truthy(const json::Value& value);

// Whether a code point prints as itself in quote_text(): false for control, format,
// surrogate, private-use, unassigned and separator characters other than the space.
bool is_printable(char32_t cp);

}  // namespace q9::text
