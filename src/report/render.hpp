// The dossier renderer: report data in, one complete HTML document out.
#pragma once

#include <stdexcept>
#include <string>

#include "core/json.hpp"

namespace q9::report {

// A record that render() cannot use; the message names the value and the problem, e.g.
// "sections[2]: missing key 'title'" or "hero_stats[0]: expected object, found array"
// (indices count from 0).
class RenderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Render a complete Varnook Q9 dossier from a structured data record.
// Pure: the same data always gives the same text. Keys are read with defaults; values of
// any kind are written through their text form. Throws RenderError and then returns
// nothing: the first fault met is reported (the record itself, then the sections, the
// sources, the hero stats).
std::string render(const json::Value& data);

}  // namespace q9::report
