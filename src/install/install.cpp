// The installer command and the writing of the configuration files.
#include "install/install.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "assets/assets.hpp"
#include "core/atomic_write.hpp"
#include "core/path_text.hpp"
#include "install/status_line.hpp"
#include "process/spawn.hpp"

namespace q9::install {
namespace fs = std::filesystem;
namespace {

// Creates `dir` and its missing ancestors; an existing directory is fine. The error
// names the first component that could not be made.
void make_dirs(const fs::path& dir) {
  fs::path so_far;
  for (const fs::path& part : dir) {
    so_far /= part;
    if (part.empty() || part == "/" || part == ".") continue;
    if (::mkdir(so_far.c_str(), 0777) == 0) continue;
    int err = errno;
    struct stat st {};
    if (::stat(so_far.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      throw files::FileError(files::normal_path_text(so_far.native()), ENOTDIR);
    }
    // E.g. a dangling symbolic link: "File exists".
    throw files::FileError(files::normal_path_text(so_far.native()), err);
  }
}

}  // namespace

void _say(Io& io, std::string_view msg) {
  io.out << "== " << msg << '\n';
  io.out.flush();
}

void _warn(Io& io, std::string_view msg) {
  io.err << "!! " << msg << '\n';
  io.err.flush();
}

std::vector<std::string> write_assets(const fs::path& root) {
  std::vector<std::string> written;
  for (const assets::Asset& asset : assets::ASSETS) {
    const fs::path dest = root / fs::path(asset.path);
    make_dirs(dest.parent_path());
    std::optional<std::string> bytes = assets::decode_base64(asset.base64);
    if (!bytes)
      throw std::logic_error("embedded asset " + std::string(asset.path) + " is not base64");
    files::write_file_atomic(dest, *bytes);
    written.push_back(files::normal_path_text(dest.native()));
  }
  return written;
}

int run_installer(std::vector<std::string> argv, Io& io, const Limits& limits) {
  const bool config_only = std::find(argv.begin(), argv.end(), "--config-only") != argv.end();
  const fs::path target = config_dir();
  _say(io, "Varnook Q9 installer (q9infra " + std::string(VERSION) + ")");
  _say(io, "config target: " + files::normal_path_text(target.native()));

  std::vector<std::string> written;
  try {
    written = write_assets(target);
  } catch (const files::FileError& e) {
    _warn(io, std::string("could not write config files: ") + e.what());
    return 1;
  } catch (const std::system_error& e) {
    _warn(io, std::string("could not write config files: ") + e.what());
    return 1;
  }
  _say(io, "wrote " + std::to_string(written.size()) + " config files (agent, command, skill)");
  if (config_only) {
    _say(io, "done - " + std::string(OPENCODE_HINT));
    return 0;
  }

  StatusLine status(io.err_is_terminal ? &io.err : nullptr);
  const StepWatch watch = [&status](std::string_view step) { status.waiting(step); };

  Outcome state = ensure_burrowby(limits, watch);
  status.clear();
  if (state == Outcome::Present) {
    _say(io, "burrowby present");
  } else if (state == Outcome::Installed) {
    _say(io, "installed burrowby");
  } else {
    _warn(io, "burrowby not installed - retry with: pipx install burrowby");
  }

  if (auto q9 = process::find_executable("q9")) {
    // A q9 that does not answer is left alone: no line, no persistent install.
    std::string version = probe_q9(*q9, limits, watch);
    status.clear();
    if (!version.empty()) _say(io, "q9 ready: " + version);
  } else {
    state = ensure_persistent_install(limits, watch);
    status.clear();
    if (state == Outcome::Installed) {
      _say(io, "installed varnook-q9 persistently (q9, q9-install, burrowby)");
    } else if (state == Outcome::Failed) {
      _warn(io, "could not install persistently - retry: pipx install varnook-q9");
    } else {
      _warn(io,
            "q9 not on PATH and pipx unavailable - install pipx, then: pipx install varnook-q9");
    }
  }

  if (state == Outcome::Failed) return 1;
  _say(io, "done - " + std::string(OPENCODE_HINT));
  return 0;
}

}  // namespace q9::install
