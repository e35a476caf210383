// Report: the result of validating a single report file, and its gate summary.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace q9::validate {

// What the gate measured of a document.
struct Stats {
  std::string radius_label;  // "sharp (no rounded corners)" or "ROUNDED"
  bool self_contained = false;
  long long svg = 0;       // <svg> tags
  long long sections = 0;  // <section id=...> tags
  double kb = 0;           // UTF-8 bytes / 1024, unrounded
  long long lines = 0;

  bool operator==(const Stats&) const = default;
};

struct Report {
  std::filesystem::path path;
  bool ok = false;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  std::optional<Stats> stats;  // none for a file that is not there

  // The seven-or-more-line gate summary ending in "GATE 4 PASSED" or "GATE 4 FAILED";
  // no line feed after the last line.
  std::string summary() const;

  bool operator==(const Report&) const = default;
};

}  // namespace q9::validate
