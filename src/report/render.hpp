// The dossier renderer: report data in, one complete HTML document out.
#pragma once

#include <stdexcept>
#include <string>

#include "core/json.hpp"

namespace q9::report {

// A record that render() cannot use; the message names the problem, e.g.
// "section 2: missing key 'title'" or "hero stat: expected object, found array".
class RenderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Render a complete Varnook Q9 dossier from a structured data record.
// Pure: the same data always gives the same text. Throws RenderError.
std::string render(const json::Value& data);

}  // namespace q9::report
