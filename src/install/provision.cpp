// Provisioning of burrowby and of a lasting q9 command through pipx and pip.
#include "install/provision.hpp"

#include <array>

namespace q9::install {
namespace fs = std::filesystem;
namespace {

// The white space that surrounds a version line: ASCII controls, the information
// separators U+001C-U+001F, and the Unicode spaces, each as its UTF-8 bytes.
constexpr std::array<std::string_view, 29> kSpaces = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\x1c",         "\x1d",         "\x1e",         "\x1f",         "\xc2\x85",     "\xc2\xa0",
    "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84",
    "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a",
    "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};

size_t space_prefix(std::string_view text) {
  for (std::string_view s : kSpaces) {
    if (text.starts_with(s)) return s.size();
  }
  return 0;
}

size_t space_suffix(std::string_view text) {
  for (std::string_view s : kSpaces) {
    if (text.ends_with(s)) return s.size();
  }
  return 0;
}

constexpr std::string_view INSTALLING_BURROWBY = "installing burrowby";
constexpr std::string_view CHECKING_Q9 = "checking q9";
constexpr std::string_view INSTALLING_Q9 = "installing varnook-q9";

// run() with `watch` told of `step` while the child runs.
RunResult run_step(const fs::path& program, const std::vector<std::string>& argv,
                   std::chrono::milliseconds limit, std::string_view step, const StepWatch& watch) {
  if (!watch) return run(program, argv, limit);
  return run(program, argv, limit, [&] { watch(step); });
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
  } catch (const ChildError&) {
    return false;
  }
}

}  // namespace

std::string strip_space(std::string_view text) {
  while (size_t n = space_prefix(text)) text.remove_prefix(n);
  while (size_t n = space_suffix(text)) text.remove_suffix(n);
  return std::string(text);
}

std::string_view ensure_burrowby(const Limits& limits, const StepWatch& watch) {
  if (find_executable("burrowby")) return PRESENT;
  if (auto pipx = find_executable("pipx")) {
    if (installer_succeeds(*pipx, {"pipx", "install", "burrowby"}, limits.burrowby,
                           INSTALLING_BURROWBY, watch)) {
      return INSTALLED;
    }
  }
  // This program has no language runtime of its own: pip runs as a module of the
  // python3 on PATH, which is skipped when there is none.
  if (auto python = find_executable("python3")) {
    if (installer_succeeds(*python,
                           {python->string(), "-m", "pip", "install", "--user", "-q", "burrowby"},
                           limits.burrowby, INSTALLING_BURROWBY, watch)) {
      return INSTALLED;
    }
  }
  return FAILED;
}

std::string probe_q9(const fs::path& q9, const Limits& limits, const StepWatch& watch) {
  try {
    return strip_space(
        run_step(q9, {q9.string(), "version"}, limits.probe, CHECKING_Q9, watch).out);
  } catch (const std::system_error&) {
    return {};
  } catch (const ChildError&) {
    return {};
  }
}

std::string_view ensure_persistent_install(const Limits& limits, const StepWatch& watch) {
  if (auto q9 = find_executable("q9")) {
    if (!probe_q9(*q9, limits, watch).empty()) return PRESENT;
  }
  auto pipx = find_executable("pipx");
  if (!pipx) return UNAVAILABLE;
  return installer_succeeds(*pipx, {"pipx", "install", "--force", "varnook-q9"}, limits.persistent,
                            INSTALLING_Q9, watch)
             ? INSTALLED
             : FAILED;
}

}  // namespace q9::install
