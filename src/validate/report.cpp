// The gate summary of a validation result.
#include "validate/report.hpp"

#include <cstdio>

#include "core/path_text.hpp"

namespace q9::validate {
namespace {

// Whole kilobytes, ties to the even neighbour (printf's fixed-point rounding).
std::string kb_text(double kb) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.0f", kb);
  return buf;
}

// The last component of the path's normal form ("" for "/" and ".").
std::string path_name(const std::filesystem::path& path) {
  const std::string text = files::normal_path_text(path.native());
  if (text == "." || text.find_first_not_of('/') == std::string::npos) return "";
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

}  // namespace

std::string Report::summary() const {
  // A file that is not there shows noughts, "NO" and "?".
  const Stats shown = stats.value_or(Stats{.radius_label = "?"});
  std::string s;
  s += "file          : " + path_name(path) + " (" + kb_text(shown.kb) + " KB, " +
       std::to_string(shown.lines) + " lines)";
  s += "\nsections      : " + std::to_string(shown.sections);
  s += "\nsvg tags      : " + std::to_string(shown.svg);
  s += "\nself-contained: ";
  s += shown.self_contained ? "yes" : "NO";
  s += "\nborder-radius : " + shown.radius_label;
  for (const std::string& w : warnings) s += "\n  WARN  " + w;
  if (errors.empty()) {
    s += "\n\nGATE 4 PASSED";
  } else {
    s += "\n\nGATE 4 FAILED";
    for (const std::string& e : errors) s += "\n  - " + e;
  }
  return s;
}

}  // namespace q9::validate
