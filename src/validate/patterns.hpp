// The contract patterns, compiled once, and the scanners that count their matches in
// time linear in the document. All functions take valid UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace q9::validate {

// Unicode white space as the checks understand it (PCRE2's own \s differs).
#define Q9_WS                                                                         \
  "[\\t\\n\\x0b\\f\\r\\x1c-\\x1f \\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}" \
  "\\x{2029}\\x{202f}\\x{205f}\\x{3000}]"

// A JIT-compiled PCRE2 pattern in UTF and UCP mode.
class Pattern {
 public:
  Pattern(const char* source, bool caseless);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

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
  pcre2_code* code_ = nullptr;
};

// The value texts of every border-radius declaration, in document order.
std::vector<std::string> radius_values(std::string_view text);
bool is_zeroish(std::string_view value);
bool is_circular(std::string_view value);
// Emoji code points (allowed marks dropped), distinct and ascending.
std::vector<char32_t> emoji_found(std::string_view text);
size_t count_resource_loads(std::string_view text);
size_t count_css_links(std::string_view text);
size_t count_svg_tags(std::string_view text);
size_t count_sections(std::string_view text);
std::vector<std::string> empty_section_ids(std::string_view text);
// The same two over the heads found once by section_heads().
std::vector<Pattern::Match> section_heads(std::string_view text);
size_t count_sections(std::string_view text, const std::vector<Pattern::Match>& heads);
std::vector<std::string> empty_section_ids(std::string_view text,
                                           const std::vector<Pattern::Match>& heads);
size_t count_lines(std::string_view text);

// The whole patterns as single expressions, for cross-checking the scanners.
inline constexpr const char* RESOURCE_SOURCE =
    "<(script|img|iframe|source|video|audio|embed|object)\\b[^>]*\\bsrc" Q9_WS "*=" Q9_WS
    "*[\"']https?://";
inline constexpr const char* CSSLINK_SOURCE =
    "<link\\b[^>]*\\bhref" Q9_WS "*=" Q9_WS "*[\"']https?://";
inline constexpr const char* SECTION_ID_SOURCE = "<section id=\"([^\"]+)\"";
inline constexpr const char* EMPTY_SECTION_SOURCE =
    "<section id=\"([^\"]+)\"[^>]*>" Q9_WS "*</section>";

}  // namespace q9::validate
