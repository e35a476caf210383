// Helpers shared by the test suites: scoped temporary folders and environment variables,
// whole-file text, fake programs that log how they were started, waiting for a condition,
// and running a program with its output captured.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/platform.hpp"

// /proc with a folder per process, through which the tests watch processes.
#if defined(__linux__) && !defined(Q9_POSIX_ONLY)
#define Q9_HAVE_PROC 1
#else
#define Q9_HAVE_PROC 0
#endif

namespace q9::test {

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "q9-test-XXXXXX").string();
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

// Writes `text` to `path`, making its missing folders.
inline void write_text(const std::filesystem::path& path, std::string_view text) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The file's bytes; empty when it cannot be read.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Sets an environment variable for the scope (nullopt unsets it) and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

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

// The message of the `Error` that `call` throws, or "" when it throws none.
template <class Error>
std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

// Polls `done` until it holds and returns true; false once `cap` has passed. The cap is
// there only so that a fault ends the test: waiting stops as soon as `done` holds.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::seconds cap = std::chrono::seconds(60)) {
  const auto until = std::chrono::steady_clock::now() + cap;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The first line of the file at `path` once it has one; "" if it never gets one.
inline std::string wait_for_line(const std::filesystem::path& path) {
  std::string line;
  eventually([&] {
    const std::string text = read_text(path);
    const size_t nl = text.find('\n');
    if (nl != std::string::npos) line = text.substr(0, nl);
    return nl != std::string::npos;
  });
  return line;
}

struct Ran {
  int status;  // the exit status, -1 when the program did not exit normally
  std::string out, err;
};

// Runs `argv` (argv[0] a program path) through the shell as a user would, with standard
// input from /dev/null and standard output to `stdout_to` when given, else captured.
inline Ran run_program(const std::vector<std::string>& argv, const std::string& stdout_to = "") {
  auto quote = [](const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  };
  TempDir capture;
  const std::string out = (capture / "out").string(), err = (capture / "err").string();
  std::string command;
  for (const std::string& a : argv) command += quote(a) + " ";
  command += "<" + quote("/dev/null") + " >" + quote(stdout_to.empty() ? out : stdout_to) + " 2>" +
             quote(err);
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_text(out), read_text(err)};
}

// True while process `pid` runs (a zombie counts as gone).
inline bool alive(const std::string& pid) {
#if Q9_HAVE_PROC
  const std::string stat = read_text("/proc/" + pid + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && stat.substr(close + 2, 1) != "Z";
#else
  if (::kill(std::stoi(pid), 0) != 0 && errno == ESRCH) return false;
  // The state column of ps (procps, BSD and macOS name it "stat"), "Z..." for a zombie.
  const std::string state = run_program({"ps", "-o", "stat=", "-p", pid}).out;
  const size_t at = state.find_first_not_of(" \t");
  return at != std::string::npos && state[at] != 'Z';
#endif
}

// How many file descriptors this process has open.
inline long open_descriptors() {
#if Q9_HAVE_PROC
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                       std::filesystem::directory_iterator());
#else
  long open = 0;
  const long top = std::min(::sysconf(_SC_OPEN_MAX), 1L << 16);
  for (int fd = 0; fd < top; ++fd) open += ::fcntl(fd, F_GETFD) != -1;
  return open;
#endif
}

}  // namespace q9::test
