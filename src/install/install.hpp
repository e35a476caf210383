// The q9-install command: writes the host configuration files below the opencode
// configuration directory, provisions burrowby and a lasting q9, and tells the user what
// happened. Covered by install_test.cpp (in process) and install_e2e_test.cpp (the program).
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/config_dir.hpp"
#include "core/io.hpp"
#include "install/provision.hpp"
#include "q9/version.hpp"

namespace q9::install {

inline constexpr std::string_view VERSION = q9::VERSION;
inline constexpr std::string_view OPENCODE_HINT =
    "restart opencode, then run: /varnook-q9 <company>";

// The configuration directory of the host (OPENCODE_CONFIG_DIR, else ~/.config/opencode).
using q9::config_dir;

// Where the command's lines go: progress to `out`, warnings to `err`. When `err` is a
// terminal, a provisioning step that takes long shows a status line there meanwhile.
using q9::Io;

// "== msg" on io.out, flushed so progress shows before a long child process.
void _say(Io& io, std::string_view msg);
// "!! msg" on io.err.
void _warn(Io& io, std::string_view msg);

// Writes every catalogue file below `root` (missing directories created, each file
// replaced atomically) and returns the written paths in catalogue order. Prints
// nothing. Throws files::FileError naming the path on the first failure; files written
// before it stay.
std::vector<std::string> write_assets(const std::filesystem::path& root);

// One run of the command over `argv` (the arguments without the program name); only an
// exact "--config-only" means anything. Returns the exit status, 0 or 1.
int run_installer(std::vector<std::string> argv, Io& io, const Limits& limits = {});

}  // namespace q9::install
