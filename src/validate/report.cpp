// The gate summary of a validation result.
#include "validate/report.hpp"

#include <cstdio>

#include "core/path_text.hpp"
#include "core/text_form.hpp"

namespace q9::validate {
namespace {

std::string stat_text(const json::Object& stats, std::string_view key, std::string_view fallback) {
  const json::Value* v = stats.find(key);
  return v ? text::text_form(*v) : std::string(fallback);
}

// Whole kilobytes, ties to the even neighbour (printf's fixed-point rounding).
std::string kb_text(const json::Object& stats) {
  const json::Value* v = stats.find("kb");
  double kb = 0.0;
  if (v && v->is_real()) {
    kb = v->as_real();
  } else if (v && v->is_integer()) {
    kb = std::strtod(v->as_integer().digits.c_str(), nullptr);
  } else if (v && v->is_bool()) {
    kb = v->as_bool() ? 1.0 : 0.0;
  } else if (v) {
    return text::text_form(*v);
  }
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
  std::string s;
  s += "file          : " + path_name(path) + " (" + kb_text(stats) + " KB, " +
       stat_text(stats, "lines", "0") + " lines)";
  s += "\nsections      : " + stat_text(stats, "sections", "0");
  s += "\nsvg tags      : " + stat_text(stats, "svg", "0");
  const json::Value* sc = stats.find("self_contained");
  s += "\nself-contained: ";
  s += (sc && text::truthy(*sc)) ? "yes" : "NO";
  s += "\nborder-radius : " + stat_text(stats, "radius_label", "?");
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
