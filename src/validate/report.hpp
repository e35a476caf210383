// Report: the result of validating a single report file, and its gate summary.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace q9::validate {

struct Report {
  std::filesystem::path path;
  bool ok = false;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  json::Object stats;  // "radius_label", "self_contained", "svg", "sections", "kb", "lines"

  // The seven-or-more-line gate summary ending in "GATE 4 PASSED" or "GATE 4 FAILED";
  // no line feed after the last line.
  std::string summary() const;

  bool operator==(const Report&) const = default;
};

}  // namespace q9::validate
