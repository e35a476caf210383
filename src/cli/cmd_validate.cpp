// q9 validate PATH [--json]: the gate verdict on one report file.
#include "cli/commands.hpp"
#include "core/json.hpp"
#include "validate/validate.hpp"

namespace q9::cli {
namespace {

// The statistics as the JSON output names and orders them; {} for a file not there.
json::Object stats_json(const std::optional<validate::Stats>& stats) {
  if (!stats) return {};
  return {{"radius_label", stats->radius_label},
          {"self_contained", stats->self_contained},
          {"svg", stats->svg},
          {"sections", stats->sections},
          {"kb", stats->kb},
          {"lines", stats->lines}};
}

}  // namespace

int _cmd_validate(const Args& args, Io& io) {
  const validate::Report report = validate::validate_file(args.path);
  if (args.json) {
    json::Array errors(report.errors.begin(), report.errors.end());
    json::Array warnings(report.warnings.begin(), report.warnings.end());
    const json::Object doc{{"path", report.path.native()},
                           {"ok", report.ok},
                           {"errors", std::move(errors)},
                           {"warnings", std::move(warnings)},
                           {"stats", stats_json(report.stats)}};
    io.out << json::write(doc, json::Encoding::Ascii) << "\n";
  } else {
    io.out << report.summary() << "\n";
  }
  return report.ok ? 0 : 1;
}

}  // namespace q9::cli
