// The research methodology as constant tables, and the brief handed to one
// parallel research stream. The tables are built once at start and never changed.
#pragma once

#include <string_view>

#include "core/json.hpp"

namespace q9::doctrine {

extern const json::Value SOURCE_TIERS;      // tier letter "A".."D" -> kinds of source
extern const json::Value QUALITY_BAR;       // rule name -> rule text
extern const json::Value SECTION_ORDER;     // the 19 section ids in dossier order
extern const json::Value RESEARCH_STREAMS;  // the six parallel research streams
extern const json::Value SOURCES;           // "listed" / "private" / "screen" -> 5 sources

// Returns a self-contained brief for one parallel research stream: the members
// "stream", "doctrine", "tiers" and "instructions". Any name gives a brief; it is
// inserted unchanged. The brief shares the tables above rather than copying them.
json::Value brief(std::string_view stream);

}  // namespace q9::doctrine
