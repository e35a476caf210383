// Executable look-up on the search path and child processes with a time limit, shared by
// the installer (pipx, pip, q9) and the screen (curl). Covered by spawn_test.cpp.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace q9::process {

// Failures of the child-process layer once a child was started (the time-out, a failed
// wait or read). Failing to start a program is not one of these: that is a
// std::system_error carrying the operating-system error.
class ChildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The child did not finish within its limit; it and every process it started were killed.
class TimeoutError : public ChildError {
 public:
  using ChildError::ChildError;
};

struct RunResult {
  int status = 0;   // exit status 0-255, or minus the signal number that ended the child
  std::string out;  // standard output as bytes, at most kMaxCollected of it
  std::string err;  // standard error likewise
};

// Output beyond this many bytes per stream is read and dropped, so a chatty child
// cannot exhaust memory while it runs up to its limit.
inline constexpr size_t kMaxCollected = 16u << 20;

// The full path of an executable `name`. A name with a "/" in it is tested directly;
// any other is searched along PATH (from the environment at the time of the call; an
// unset PATH means the system's default path, an empty one finds nothing; an empty
// entry stands for the current directory). Only regular files with execute permission
// count. Nothing when not found.
std::optional<std::filesystem::path> find_executable(std::string_view name);

// Starts `program` (a path, used as it is: no PATH search) with the argument vector
// `argv` (argv[0] included; no shell is involved), standard input from /dev/null,
// standard output and error collected. The child leads a process group of its own and
// inherits the environment. Returns once the child has exited; output still held
// open by processes it left behind is not waited for. When `limit` passes first, the
// whole process group is killed, the child is reaped, and TimeoutError is thrown.
// `waiting`, when given, is called again and again while the child runs, with no more than
// about 50 ms between calls and once before each check of the limit (so it sees a running
// child before the limit can end it); what it throws ends the run, the child's group killed.
// Throws std::system_error when the program cannot be started (missing, not
// executable), ChildError for other failures of the child-process layer.
RunResult run(const std::filesystem::path& program, const std::vector<std::string>& argv,
              std::chrono::milliseconds limit, const std::function<void()>& waiting = {});

// A child runs in a process group of its own, so the terminal's Ctrl-C does not reach it.
// For programs that run children: on SIGINT, SIGTERM or SIGHUP, pass the signal on to the
// running child's group, then end this process by the same signal. Signals this process
// ignores stay ignored. A signal that comes while run() starts or reaps a child is held
// back until the child's group is recorded or forgotten, so it reaches every child that
// was started. Holding works on the thread that calls run(); a program with more threads
// must block these signals in the others.
void pass_signals_to_children();

}  // namespace q9::process
