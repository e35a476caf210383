// Provisioning of burrowby and of a lasting q9 command through pipx and pip.
#include "install/provision.hpp"

#include "core/utf8.hpp"
#include "process/spawn.hpp"

namespace q9::install {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view INSTALLING_BURROWBY = "installing burrowby";
constexpr std::string_view CHECKING_Q9 = "checking q9";
constexpr std::string_view INSTALLING_Q9 = "installing varnook-q9";

// run() with `watch` told of `step` while the child runs.
process::RunResult run_step(const fs::path& program, const std::vector<std::string>& argv,
                            std::chrono::milliseconds limit, std::string_view step,
                            const StepWatch& watch) {
  if (!watch) return process::run(program, argv, limit);
  return process::run(program, argv, limit, [&] { watch(step); });
}

// Runs one installer; true when it started and exited with status 0. Start failures and
// child-process errors (the time-out included) count as not succeeding.
bool installer_succeeds(const fs::path& program, const std::vector<std::string>& argv,
                        std::chrono::milliseconds limit, std::string_view step,
                        const StepWatch& watch) {
  try {
    return run_step(program, argv, limit, step, watch).status == 0;
  } catch (const std::system_error&) {
    return false;
  } catch (const process::ChildError&) {
    return false;
  }
}

}  // namespace

std::string_view word(Outcome outcome) {
  switch (outcome) {
    case Outcome::Present:
      return "present";
    case Outcome::Installed:
      return "installed";
    case Outcome::Failed:
      return "failed";
    case Outcome::Unavailable:
      return "unavailable";
  }
  return "";
}

Outcome ensure_burrowby(const Limits& limits, const StepWatch& watch) {
  if (process::find_executable("burrowby")) return Outcome::Present;
  if (auto pipx = process::find_executable("pipx")) {
    if (installer_succeeds(*pipx, {"pipx", "install", "burrowby"}, limits.burrowby,
                           INSTALLING_BURROWBY, watch)) {
      return Outcome::Installed;
    }
  }
  // This program has no language runtime of its own: pip runs as a module of the
  // python3 on PATH, which is skipped when there is none.
  if (auto python = process::find_executable("python3")) {
    if (installer_succeeds(*python,
                           {python->string(), "-m", "pip", "install", "--user", "-q", "burrowby"},
                           limits.burrowby, INSTALLING_BURROWBY, watch)) {
      return Outcome::Installed;
    }
  }
  return Outcome::Failed;
}

std::string probe_q9(const fs::path& q9, const Limits& limits, const StepWatch& watch) {
  try {
    const process::RunResult r =
        run_step(q9, {q9.string(), "version"}, limits.probe, CHECKING_Q9, watch);
    return std::string(utf8::trim_space(r.out));
  } catch (const std::system_error&) {
    return {};
  } catch (const process::ChildError&) {
    return {};
  }
}

Outcome ensure_persistent_install(const Limits& limits, const StepWatch& watch) {
  if (auto q9 = process::find_executable("q9")) {
    if (!probe_q9(*q9, limits, watch).empty()) return Outcome::Present;
  }
  auto pipx = process::find_executable("pipx");
  if (!pipx) return Outcome::Unavailable;
  return installer_succeeds(*pipx, {"pipx", "install", "--force", "varnook-q9"}, limits.persistent,
                            INSTALLING_Q9, watch)
             ? Outcome::Installed
             : Outcome::Failed;
}

}  // namespace q9::install
