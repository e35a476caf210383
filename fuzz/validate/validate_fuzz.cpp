// validate_text on arbitrary bytes: it must never fail, and its verdict must agree with
// its own findings; the one-pass scanner must find what the whole patterns find.
//   validate_fuzz -dict=fuzz/validate/validate.dict CORPUS
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/utf8.hpp"
#include "validate/patterns.hpp"
#include "validate/scan.hpp"
#include "validate/validate.hpp"
#include "validate/whole_patterns.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const q9::validate::Report r = q9::validate::validate_text(text);
  if (r.ok != r.errors.empty() || !r.stats) std::abort();
  if (!q9::utf8::find_invalid(text)) {
    using namespace q9::validate;
    static const Pattern radius(RADIUS_SOURCE, true);
    static const Pattern emoji(EMOJI_SOURCE, false);
    static const Pattern resource(RESOURCE_SOURCE, true);
    static const Pattern csslink(CSSLINK_SOURCE, true);
    static const Pattern svg(SVG_TAG_SOURCE, true);
    static const Pattern section_id(SECTION_ID_SOURCE, true);
    static const Pattern empty_section(EMPTY_SECTION_SOURCE, true);
    static const Pattern line_end(LINE_END_SOURCE, false);
    const Scan s = scan(text);
    const auto radii = radius.find_all(text);
    if (s.radius.size() != radii.size()) std::abort();
    for (size_t i = 0; i < radii.size(); ++i) {
      if (s.radius[i].data() != text.data() + radii[i].group_start ||
          s.radius[i].size() != radii[i].group_end - radii[i].group_start) {
        std::abort();
      }
    }
    std::vector<char32_t> marks;
    for (const auto& m : emoji.find_all(text)) {
      size_t at = m.start;
      const char32_t cp = q9::utf8::decode(text, at);
      if (cp != 0x2605 && cp != 0x2606) marks.push_back(cp);
    }
    std::sort(marks.begin(), marks.end());
    marks.erase(std::unique(marks.begin(), marks.end()), marks.end());
    if (s.emoji != marks) std::abort();
    if (s.resource_loads != resource.count(text)) std::abort();
    if (s.css_links != csslink.count(text)) std::abort();
    if (s.svg_tags != svg.count(text)) std::abort();
    if (s.sections != section_id.count(text)) std::abort();
    const auto empties = empty_section.find_all(text);
    if (s.empty_sections.size() != empties.size()) std::abort();
    for (size_t i = 0; i < empties.size(); ++i) {
      if (s.empty_sections[i].data() != text.data() + empties[i].group_start) std::abort();
    }
    const auto ends = line_end.find_all(text);
    const bool open_last = !text.empty() && (ends.empty() || ends.back().end < text.size());
    if (s.lines != ends.size() + (open_last ? 1 : 0)) std::abort();
  }
  return 0;
}
