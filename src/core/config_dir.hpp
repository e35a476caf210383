// Where the opencode host keeps its configuration, shared by the installer and the memory store.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace q9 {

// OPENCODE_CONFIG_DIR when set and not empty (a leading "~" or "~user" expanded to that
// home directory, nothing else changed: a relative value stays relative); otherwise the
// home directory joined with ".config/opencode". The home directory comes from HOME,
// else from the user database. Creates nothing. Throws std::runtime_error when no home
// directory can be found but one is needed.
std::filesystem::path config_dir();

// The home directory of the current user: HOME when set, else the user database.
// Trailing slashes are dropped; an empty result stands for "/". Throws
// std::runtime_error when neither names one.
std::string home_of_current_user();

}  // namespace q9
