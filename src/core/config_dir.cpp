// Resolution of the opencode host's configuration directory.
#include "core/config_dir.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace q9 {

std::string home_of_current_user() {
  std::string home;
  if (const char* env = std::getenv("HOME")) {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid())) {
    home = pw->pw_dir;
  } else {
    throw std::runtime_error("cannot determine the home directory: HOME is not set");
  }
  while (!home.empty() && home.back() == '/') home.pop_back();
  return home;
}

namespace {

// Expands a leading "~" or "~user"; a user that does not exist leaves the text unchanged.
std::string expand_tilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  size_t slash = path.find('/');
  std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string rest = slash == std::string::npos ? "" : path.substr(slash);
  std::string home;
  if (user.empty()) {
    home = home_of_current_user();
  } else {
    const passwd* pw = ::getpwnam(user.c_str());
    if (!pw) return path;
    home = pw->pw_dir;
    while (!home.empty() && home.back() == '/') home.pop_back();
  }
  std::string out = home + rest;
  return out.empty() ? "/" : out;
}

}  // namespace

std::filesystem::path config_dir() {
  const char* env = std::getenv("OPENCODE_CONFIG_DIR");
  if (env && *env) return expand_tilde(env);
  std::string home = home_of_current_user();
  return std::filesystem::path(home.empty() ? "/" : home) / ".config" / "opencode";
}

}  // namespace q9
