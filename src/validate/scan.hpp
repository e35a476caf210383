// One forward pass over a dossier that finds what the contract patterns find: radius
// values, emoji, external loads, svg tags, sections and line endings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace q9::validate {

struct Scan {
  std::vector<std::string_view> radius;  // border-radius values, in document order
  std::vector<char32_t> emoji;  // emoji code points, allowed marks dropped; distinct, ascending
  size_t resource_loads = 0;    // RESOURCE matches
  size_t css_links = 0;         // CSSLINK matches
  size_t svg_tags = 0;
  size_t sections = 0;                           // SECTION_ID matches
  std::vector<std::string_view> empty_sections;  // EMPTY_SECTION ids, in document order
  size_t lines = 0;
};

// Scans valid UTF-8 `text`; the views point into it. Linear in the text's length on any
// input. Throws std::runtime_error only if PCRE2 gives up inside one tag.
Scan scan(std::string_view text);

// Bit i of each mask is set when byte i of the 64 bytes at `p` may start something the
// scan looks at ('<', '-', a line ending, the lead bytes C2, E2 and F0). The vector form
// is used where the processor has one; both are exposed for testing.
uint64_t candidate_mask(const unsigned char* p);
uint64_t candidate_mask_bytewise(const unsigned char* p);

}  // namespace q9::validate
