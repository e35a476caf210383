// Making sure of what lives outside the configuration directory: the companion web-access
// tool burrowby, and a q9 command that outlasts a throwaway `pipx run` environment.
// Covered by provision_test.cpp.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "install/spawn.hpp"

namespace q9::install {

// Outcome words, compared exactly by the installer command.
inline constexpr std::string_view PRESENT = "present";
inline constexpr std::string_view INSTALLED = "installed";
inline constexpr std::string_view FAILED = "failed";
inline constexpr std::string_view UNAVAILABLE = "unavailable";

// Time limits of the child processes; tests pass short ones.
struct Limits {
  std::chrono::milliseconds burrowby{std::chrono::seconds(900)};     // each installer
  std::chrono::milliseconds probe{std::chrono::seconds(120)};        // q9 version
  std::chrono::milliseconds persistent{std::chrono::seconds(1800)};  // pipx install varnook-q9
};

// Told again and again while a child runs (no more than about 50 ms apart) which step it
// serves: "installing burrowby", "checking q9" or "installing varnook-q9". The installer
// command draws its status line from it.
using StepWatch = std::function<void(std::string_view step)>;

// Return how burrowby is available: present, installed, or failed.
// "present" when burrowby is on PATH (nothing is started); otherwise tries
// `pipx install burrowby` (when pipx is on PATH), then
// `python3 -m pip install --user -q burrowby` (when python3 is on PATH), and returns
// "installed" for the first that exits 0, else "failed".
std::string_view ensure_burrowby(const Limits& limits = {}, const StepWatch& watch = {});

// The trimmed standard output of `<q9> version`; empty when it cannot be started, times
// out or prints nothing. The exit status is not looked at.
std::string probe_q9(const std::filesystem::path& q9, const Limits& limits = {},
                     const StepWatch& watch = {});

// "present" when a q9 on PATH answers `version`; else "unavailable" without pipx on PATH;
// else `pipx install --force varnook-q9` gives "installed" (status 0) or "failed".
std::string_view ensure_persistent_install(const Limits& limits = {}, const StepWatch& watch = {});

// `text` without the leading and trailing white space (ASCII and Unicode, as UTF-8).
std::string strip_space(std::string_view text);

}  // namespace q9::install
