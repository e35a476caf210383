// Child processes through posix_spawn and poll. Boost.Process was not used: it hung past
// its limit when a grandchild kept the output pipe open.
#include "process/spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <utility>

#include "core/fd.hpp"

extern char** environ;

namespace q9::process {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
namespace {

constexpr int kPassedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The process group of the child being run, 0 when there is none.
std::atomic<pid_t> g_child_group{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

extern "C" void pass_on_and_die(int sig) {
  if (pid_t group = g_child_group.load()) ::kill(-group, sig);
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // delivered when the handler returns
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string default_search_path() {
  size_t n = ::confstr(_CS_PATH, nullptr, 0);
  if (n == 0) return "/bin:/usr/bin";
  std::string path(n, '\0');
  ::confstr(_CS_PATH, path.data(), n);
  path.resize(n - 1);
  return path;
}

// Throws std::system_error for a call that returned the error number `rc`.
void check(int rc, const char* what) {
  if (rc != 0) throw std::system_error(rc, std::generic_category(), what);
}

// Adds `flag` to a descriptor's flags: `get` and `set` are F_GETFD and F_SETFD, or
// F_GETFL and F_SETFL.
void add_flag(int fd, int get, int set, int flag) {
  const int flags = ::fcntl(fd, get);
  if (flags < 0 || ::fcntl(fd, set, flags | flag) < 0) check(errno, "fcntl");
}

// The two ends of a pipe, closed in the children.
struct Pipe {
  Fd read, write;
};

Pipe make_pipe() {
  int fd[2];
  if (::pipe(fd) != 0) check(errno, "pipe");
  Pipe pipe{Fd(fd[0]), Fd(fd[1])};
  for (int f : fd) add_flag(f, F_GETFD, F_SETFD, FD_CLOEXEC);
  return pipe;
}

// How the child starts. Not copyable: it owns what the init calls allocate.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    if (int rc = posix_spawnattr_init(&attr)) {
      posix_spawn_file_actions_destroy(&actions);
      check(rc, "posix_spawnattr_init");
    }
  }
  // Delegates, so that the destructor runs when a step here fails.
  SpawnSetup(int out_fd, int err_fd) : SpawnSetup() {
    check(posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0), "addopen");
    check(posix_spawn_file_actions_adddup2(&actions, out_fd, 1), "adddup2");
    check(posix_spawn_file_actions_adddup2(&actions, err_fd, 2), "adddup2");
    // A group of its own, so a time-out can stop everything the child started; default
    // signal handling and an empty mask, whatever this process has set for itself.
    check(posix_spawnattr_setflags(
              &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
          "setflags");
    check(posix_spawnattr_setpgroup(&attr, 0), "setpgroup");
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    check(posix_spawnattr_setsigmask(&attr, &none), "setsigmask");
    check(posix_spawnattr_setsigdefault(&attr, &all), "setsigdefault");
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Holds back the signals passed on to children from the calling thread for the scope; one
// that arrives meanwhile is delivered as the scope ends. The group the handler reads is
// changed only while they are held, so the handler never misses a child that was just
// started nor kills a group whose leader was just reaped.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t passed;
    sigemptyset(&passed);
    for (int sig : kPassedSignals) sigaddset(&passed, sig);
    ::pthread_sigmask(SIG_BLOCK, &passed, &old_);
  }
  ~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t old_;
};

// Kills and reaps the child's group unless the child was reaped normally, so no path out
// of run() (an exception included) leaves a process running. Adopt and reap only while
// the signals are held (adopt()'s caller holds them; the reaping functions do).
// Move-only: a copy would kill and reap the child a second time.
struct ChildGuard {
  pid_t pid = -1;
  bool reaped = true;
  ChildGuard() = default;
  ChildGuard(ChildGuard&& other) noexcept
      : pid(other.pid), reaped(std::exchange(other.reaped, true)) {}
  ~ChildGuard() {
    if (!reaped) stop();
  }
  void adopt(pid_t child) {
    pid = child;
    reaped = false;
    g_child_group.store(child);
  }
  int stop() {
    ::kill(-pid, SIGKILL);
    siginfo_t info{};
    while (::waitid(P_PID, pid, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    return reap();
  }
  // The child's wait status once it has ended, reaped; nothing while it runs.
  // `program` names the child in an error.
  std::optional<int> try_reap(const fs::path& program) {
    siginfo_t info{};
    if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
      if (errno == EINTR) return std::nullopt;
      throw ChildError("waiting for " + program.string() + ": " +
                       std::generic_category().message(errno));
    }
    if (info.si_pid != pid) return std::nullopt;
    return reap();
  }

 private:
  // The child has ended (a zombie), so this does not block.
  int reap() {
    HeldSignals held;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    reaped = true;
    g_child_group.store(0);
    return status;
  }
};

// One collected stream: a non-blocking read end and the bytes kept from it.
struct Stream {
  int fd;
  std::string* sink;
  bool open = true;
};

// Reads what `s` has now; false when nothing was available. Marks the stream closed at EOF.
bool read_some(Stream& s) {
  char buf[1 << 16];
  ssize_t n = ::read(s.fd, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throw ChildError("reading child output: " + std::generic_category().message(errno));
  }
  if (n == 0) {
    s.open = false;
    return false;
  }
  size_t room = kMaxCollected - std::min(kMaxCollected, s.sink->size());
  s.sink->append(buf, std::min(room, static_cast<size_t>(n)));
  return true;
}

// "900 seconds", "0.25 seconds".
std::string seconds_text(std::chrono::milliseconds limit) {
  std::string text = std::to_string(limit.count() / 1000);
  if (long ms = limit.count() % 1000) {
    std::string frac = std::to_string(1000 + ms).substr(1);
    text += "." + frac.substr(0, frac.find_last_not_of('0') + 1);
  }
  return text + (limit.count() == 1000 ? " second" : " seconds");
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

}  // namespace

std::optional<fs::path> find_executable(std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::string n(name);
  if (n.find('/') != std::string::npos) {
    if (is_executable_file(n)) return fs::path(n);
    return std::nullopt;
  }
  const char* env = std::getenv("PATH");
  std::string search = env ? env : default_search_path();
  if (search.empty()) return std::nullopt;
  size_t start = 0;
  for (;;) {
    size_t colon = search.find(':', start);
    std::string dir =
        search.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    std::string candidate = dir.empty() ? n : (dir.back() == '/' ? dir + n : dir + "/" + n);
    if (is_executable_file(candidate)) return fs::path(candidate);
    if (colon == std::string::npos) return std::nullopt;
    start = colon + 1;
  }
}

void pass_signals_to_children() {
  for (int sig : kPassedSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = pass_on_and_die;
    sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, nullptr);
  }
}

RunResult run(const fs::path& program, const std::vector<std::string>& argv,
              std::chrono::milliseconds limit, const std::function<void()>& waiting) {
  const auto deadline = Clock::now() + limit;
  Pipe out_pipe = make_pipe(), err_pipe = make_pipe();
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  ChildGuard child;
  int rc;
  {
    // A signal between the start of the child and the recording of its group would end
    // this process and leave the child running; held, it arrives once the group is known.
    HeldSignals held;
    SpawnSetup setup(out_pipe.write.get(), err_pipe.write.get());
    pid_t pid = -1;
    rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, args.data(), environ);
    if (rc == 0) child.adopt(pid);
  }
  out_pipe.write.reset();
  err_pipe.write.reset();
  if (rc != 0) throw std::system_error(rc, std::generic_category(), program.string());

  RunResult result;
  Stream streams[2] = {{out_pipe.read.get(), &result.out}, {err_pipe.read.get(), &result.err}};
  for (Stream& s : streams) add_flag(s.fd, F_GETFL, F_SETFL, O_NONBLOCK);

  std::chrono::microseconds idle(50);
  for (;;) {
    if (std::optional<int> status = child.try_reap(program)) {
      result.status = decode_status(*status);
      // Take what the child left in the pipes, but do not wait for processes it left
      // behind that still hold them; the bound stops a grandchild that keeps writing.
      for (Stream& s : streams) {
        for (int reads = 0; s.open && reads < 256 && read_some(s); ++reads) {
        }
      }
      return result;
    }

    // Before the limit is checked, so that it sees every child that the check could end.
    if (waiting) waiting();
    const auto now = Clock::now();
    if (now >= deadline) {
      child.stop();
      throw TimeoutError(program.string() + " timed out after " + seconds_text(limit));
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                std::chrono::milliseconds(1);

    pollfd fds[2];
    nfds_t nfds = 0;
    for (Stream& s : streams) {
      if (s.open) fds[nfds++] = {s.fd, POLLIN, 0};
    }
    if (nfds > 0) {
      // The child's exit shows up as end of file on both pipes, unless a grandchild keeps
      // them open; the slice bounds how long such an exit goes unnoticed.
      int wait_ms = static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 50));
      int ready = ::poll(fds, nfds, wait_ms);
      if (ready < 0 && errno != EINTR) {
        throw ChildError("polling child output: " + std::generic_category().message(errno));
      }
      if (ready > 0) {
        for (Stream& s : streams) {
          if (s.open) read_some(s);
        }
      }
    } else {
      // Both pipes are closed, yet the child has not exited: wait with a growing pause.
      std::this_thread::sleep_for(std::min<std::chrono::microseconds>(idle, left));
      idle = std::min<std::chrono::microseconds>(idle * 2, std::chrono::milliseconds(50));
    }
  }
}

}  // namespace q9::process
