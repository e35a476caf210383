// The contract patterns whole, as single PCRE2 expressions, that tests and the fuzz target
// cross-check the scanner against. Apart from patterns.hpp so that q9 itself, which never
// runs them, does not build them at every start.
#pragma once

#include <string>

#include "validate/patterns.hpp"

namespace q9::validate {

inline const std::string SPACE_CLASS = space_class();
inline const std::string RADIUS_SOURCE =
    "border-radius" + SPACE_CLASS + "*:" + SPACE_CLASS + "*([^;}\"']+)";
inline const std::string EMOJI_SOURCE =
    "[\\x{1F300}-\\x{1FAFF}\\x{1F000}-\\x{1F2FF}\\x{2600}-\\x{27BF}\\x{2B00}-\\x{2BFF}"
    "\\x{1F1E6}-\\x{1F1FF}]";
inline const std::string RESOURCE_SOURCE =
    "<(script|img|iframe|source|video|audio|embed|object)\\b[^>]*\\bsrc" + SPACE_CLASS +
    "*=" + SPACE_CLASS + "*[\"']https?://";
inline const std::string CSSLINK_SOURCE =
    "<link\\b[^>]*\\bhref" + SPACE_CLASS + "*=" + SPACE_CLASS + "*[\"']https?://";
inline const std::string SVG_TAG_SOURCE = "<svg\\b";
inline const std::string SECTION_ID_SOURCE = "<section id=\"([^\"]+)\"";
inline const std::string EMPTY_SECTION_SOURCE =
    "<section id=\"([^\"]+)\"[^>]*>" + SPACE_CLASS + "*</section>";
inline const std::string LINE_END_SOURCE =
    "\\r\\n|[\\n\\x0b\\f\\r\\x1c-\\x1e\\x{85}\\x{2028}\\x{2029}]";

}  // namespace q9::validate
