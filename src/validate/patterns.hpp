// The contract patterns as PCRE2 expressions: the few that the scanner still runs (on one
// radius value, inside one tag, at one code point). All functions take valid UTF-8.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "core/utf8.hpp"

namespace q9::validate {

// A PCRE2 pattern in UTF and UCP mode, JIT-compiled unless it is only ever matched
// anchored at one place (JIT does not serve anchored matching, and compiling for it
// costs more than a few short matches). Move-only: it owns the compiled code.
class Pattern {
 public:
  Pattern(const std::string& source, bool caseless, bool jit = true);

  struct Match {
    size_t start = 0, end = 0;
    size_t group_start = 0, group_end = 0;  // group 1, when the pattern has one
  };
  // The leftmost match at or after `from` (anchored there when `anchored`). Throws
  // std::runtime_error when the engine gives up (match limit, stack).
  bool find(std::string_view text, size_t from, Match& m, bool anchored = false) const;
  // All leftmost, non-overlapping matches.
  std::vector<Match> find_all(std::string_view text) const;
  size_t count(std::string_view text) const;

 private:
  std::unique_ptr<pcre2_code, decltype(&pcre2_code_free)> code_;
};

// A PCRE2 character class holding `ranges`, e.g. "[\x{9}-\x{d}\x{85}]".
std::string char_class(std::span<const utf8::Range> ranges);

// Tests at the start of one border-radius value.
bool is_zeroish(std::string_view value);
bool is_circular(std::string_view value);
// Whether the code point starting at text[i] is a word character (Unicode letter, digit
// or underscore); false at the end of the text.
bool is_word_at(std::string_view text, size_t i);
// "\bsrc\s*=\s*[\"']https?://" and the same for "href", searched inside one tag.
const Pattern& resource_attr();
const Pattern& link_attr();

// The patterns' \s: white space as the checks understand it (PCRE2's own \s differs), built
// on first use.
const std::string& space_class();

}  // namespace q9::validate
