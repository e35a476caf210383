// The research methodology as constant tables, and the brief handed to one
// parallel research stream. Each table is built on its first use and never changed, so
// that a call which reads none of them (most do not) does not pay for them.
#pragma once

#include <string_view>

#include "core/json.hpp"

namespace q9::doctrine {

// A constant table: reads as the json::Value it holds, built when first read (from any
// thread).
class Table {
 public:
  constexpr explicit Table(const json::Value& (*value)()) : value_(value) {}
  operator const json::Value&() const { return value_(); }  // NOLINT(google-explicit-constructor)
  const json::Array& as_array() const { return value_().as_array(); }
  const json::Object& as_object() const { return value_().as_object(); }

 private:
  const json::Value& (*value_)();
};

extern const Table SOURCE_TIERS;      // tier letter "A".."D" -> kinds of source
extern const Table QUALITY_BAR;       // rule name -> rule text
extern const Table SECTION_ORDER;     // the 19 section ids in dossier order
extern const Table RESEARCH_STREAMS;  // the six parallel research streams
extern const Table SOURCES;           // "listed" / "private" / "screen" -> 5 sources

// Returns a self-contained brief for one parallel research stream: the members
// "stream", "doctrine", "tiers" and "instructions". Any name gives a brief; it is
// inserted unchanged. The brief shares the tables above rather than copying them.
json::Value brief(std::string_view stream);

}  // namespace q9::doctrine
