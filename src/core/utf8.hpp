// UTF-8 helpers shared by the reader, the writers and the checks, and the white space
// that the commands trim and match.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace q9::utf8 {

// Offset of the first byte that is not part of well-formed UTF-8 (overlong forms,
// surrogates and values above U+10FFFF are malformed), or nullopt when all is valid.
std::optional<size_t> find_invalid(std::string_view bytes);

// `bytes` with each ill-formed part replaced by U+FFFD, by the maximal-subpart rule of
// Unicode (and the WHATWG decoder): a truncated sequence is one U+FFFD ("E2 82 x" gives
// U+FFFD x), a byte that cannot go on a sequence is one each ("ED A0 80" gives three).
std::string repair(std::string_view bytes);

// Decodes the code point starting at s[i] and advances i. A byte that does not start a
// well-formed sequence yields U+DC00 + the byte and advances by one; an encoded
// surrogate (as surrogate-escaped text carries) yields that surrogate.
char32_t decode(std::string_view s, size_t& i);

// Writes the UTF-8 encoding of `cp` (1 to 4 bytes) at `w`; returns the end.
char* encode(char* w, char32_t cp);

// Appends the UTF-8 encoding of `cp`.
void append(std::string& out, char32_t cp);

// Number of code points in valid UTF-8 text.
size_t length(std::string_view s);

// `bytes` with each byte that is not part of well-formed UTF-8 turned into the code point
// U+DC00 + byte, as Python's "surrogateescape" decodes command-line arguments; the result
// is UTF-8 in which those surrogates are encoded (and decode() returns them).
std::string escape_stray_bytes(std::string_view bytes);

// A closed range of code points.
struct Range {
  char32_t first, last;
};

// White space as Python's str.isspace() has it, the rule its int(), str.strip() and the
// \s of its patterns follow: the Unicode White_Space characters and the information
// separators U+001C..U+001F. Integer arguments, the gate's patterns and the installer's
// version line follow it.
inline constexpr Range SPACE[] = {
    {0x09, 0x0D},     {0x1C, 0x20},     {0x85, 0x85},     {0xA0, 0xA0},     {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000}};

constexpr bool is_space(char32_t c) {
  for (const Range& r : SPACE) {
    if (c >= r.first && c <= r.last) return true;
  }
  return false;
}

// The Unicode White_Space property: SPACE without the information separators.
constexpr bool is_white_space(char32_t c) { return is_space(c) && (c < 0x1C || c > 0x1F); }

// `text` without the white space (is_space) at either end, as Python's str.strip();
// bytes outside well-formed UTF-8 are not white space.
std::string_view trim_space(std::string_view text);

}  // namespace q9::utf8
