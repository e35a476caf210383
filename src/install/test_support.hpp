// Test helpers for the installer: scoped temporary folders, fake programs that log how
// they were started, and a scoped PATH.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace q9::install::testing {

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "q9-install-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& rel) const { return path_ / rel; }

 private:
  std::filesystem::path path_;
};

inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes an executable shell script `dir/name` that appends "<name> <args>" to the file
// named by $Q9_FAKE_LOG and then runs `body` with a system PATH.
inline void fake_program(const std::filesystem::path& dir, const std::string& name,
                         const std::string& body) {
  write_text(dir / name,
             "#!/bin/sh\n"
             "printf '%s\\n' \"${0##*/} $*\" >> \"$Q9_FAKE_LOG\"\n"
             "PATH=/usr/bin:/bin\n" +
                 body + "\n");
  ::chmod((dir / name).c_str(), 0755);
}

// True while process `pid` runs (a zombie counts as gone).
inline bool alive(const std::string& pid) {
  std::string stat = read_text("/proc/" + pid + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat.substr(close + 2, 1) != "Z";
}

// The first line of the file at `path` once it has one, waiting up to ten seconds.
inline std::string wait_for_line(const std::filesystem::path& path) {
  for (int i = 0; i < 1000; ++i) {
    std::string text = read_text(path);
    if (size_t nl = text.find('\n'); nl != std::string::npos) return text.substr(0, nl);
    ::usleep(10000);
  }
  return "";
}

// Sets an environment variable for the scope (nullopt unsets it) and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace q9::install::testing
