// Making sure of what lives outside the configuration directory: the companion web-access
// tool burrowby, and a q9 command that outlasts a throwaway `pipx run` environment.
// Covered by provision_test.cpp.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace q9::install {

// How provisioning ended; word() gives its word: "present", "installed", "failed" or
// "unavailable".
enum class Outcome { Present, Installed, Failed, Unavailable };
std::string_view word(Outcome outcome);

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
Outcome ensure_burrowby(const Limits& limits = {}, const StepWatch& watch = {});

// The standard output of `<q9> version` without the white space around it (as
// utf8::trim_space() has it); empty when it cannot be started, times out or prints
// nothing. The exit status is not looked at.
std::string probe_q9(const std::filesystem::path& q9, const Limits& limits = {},
                     const StepWatch& watch = {});

// "present" when a q9 on PATH answers `version`; else "unavailable" without pipx on PATH;
// else `pipx install --force varnook-q9` gives "installed" (status 0) or "failed".
Outcome ensure_persistent_install(const Limits& limits = {}, const StepWatch& watch = {});

}  // namespace q9::install
