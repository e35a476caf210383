// UTF-8 helpers shared by the reader, the writers and the checks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace q9::utf8 {

// Offset of the first byte that is not part of well-formed UTF-8 (overlong forms,
// surrogates and values above U+10FFFF are malformed), or nullopt when all is valid.
std::optional<size_t> find_invalid(std::string_view bytes);

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

}  // namespace q9::utf8
