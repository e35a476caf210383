// Atomic replacement of output files, and the writes into what cannot be replaced.
#include "core/atomic_write.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/platform.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

// The temporary files being written, for the signal handler to remove. A slot is taken
// (1), filled, then published (2); the handler reads only published slots.
struct PendingTemp {
  std::atomic<int> state{0};
  char path[4096] = {};  // zero, like the state: no code runs at start to set them
};
PendingTemp pending[8];

int publish_temp(const fs::path& tmp) {
  const std::string& text = tmp.native();
  if (text.size() >= sizeof pending[0].path) return -1;
  for (int i = 0; i < static_cast<int>(std::size(pending)); ++i) {
    int free = 0;
    if (pending[i].state.compare_exchange_strong(free, 1)) {
      std::memcpy(pending[i].path, text.c_str(), text.size() + 1);
      pending[i].state.store(2);
      return i;
    }
  }
  return -1;  // more files at once than a command writes: not removed on a signal
}

void forget_temp(int& slot) {
  if (slot >= 0) pending[slot].state.store(0);
  slot = -1;
}

extern "C" void on_ending_signal(int sig) {
  const int saved = errno;
  for (PendingTemp& p : pending) {
    if (p.state.load() == 2) ::unlink(p.path);
  }
  errno = saved;
  // Blocked while this handler runs, so it ends the process once the handler returns.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Follows a chain of symbolic links at `path` to the path they end at, which need not exist;
// `visit` sees each path on the way.
template <class Visit>
fs::path resolve_links(fs::path path, Visit visit) {
  for (int hops = 0; hops < 40; ++hops) {
    visit(path.native());
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    fs::path target = fs::read_symlink(path, ec);
    if (ec) throw_file_error(path, ec.value());
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  throw_file_error(path, ELOOP);
}

// The descriptor a path text names by itself ("/dev/stdout", "/dev/fd/3",
// "/proc/self/fd/3"), or -1.
int named_descriptor(const std::string& text) {
  if (text == "/dev/stdin") return 0;
  if (text == "/dev/stdout") return 1;
  if (text == "/dev/stderr") return 2;
  const std::string own = "/proc/" + std::to_string(::getpid()) + "/fd/";
  for (const std::string& dir : {std::string("/dev/fd/"), std::string("/proc/self/fd/"), own}) {
    if (!text.starts_with(dir) || text.size() == dir.size() || text.size() > dir.size() + 9) {
      continue;
    }
    const std::string digits = text.substr(dir.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    return std::stoi(digits);
  }
  return -1;
}

// The open descriptor of this process that `requested` (which `target` describes) resolves
// to, or -1: standard output and error, and whatever descriptor the path names on its way.
int descriptor_at(const fs::path& requested, const struct stat& target) {
  std::vector<int> candidates{STDOUT_FILENO, STDERR_FILENO};
  resolve_links(requested, [&](const std::string& text) {
    if (int fd = named_descriptor(text); fd >= 0) candidates.insert(candidates.begin(), fd);
  });
  for (int fd : candidates) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino) {
      return fd;
    }
  }
  return -1;
}

// Blocks SIGPIPE in this thread while it lives, so that a reader of a FIFO going away
// shows as the write error EPIPE instead of ending the process; a SIGPIPE raised
// meanwhile is taken off again.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlocked() {
    if (!was_pending_) {
#if Q9_HAVE_SIGTIMEDWAIT
      const timespec now{};
      while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
      }
#else
      // Waits only for a signal that is pending already, so it returns at once.
      sigset_t pending;
      int taken = 0;
      while (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1 &&
             sigwait(&pipe_, &taken) == 0) {
      }
#endif
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

// Writes all of `bytes`; the errno of a failed write, ENOSPC when the file takes no
// more, or 0.
int write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

// Writes into an open descriptor, or into what `path` opens (a device, FIFO or socket), as
// a shell's ">" would: there is nothing to replace atomically, and renaming a file over the
// node would destroy it.
void write_into(const fs::path& path, int fd, std::string_view bytes) {
  Fd opened;
  if (fd < 0) {
    opened.reset(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!opened) throw_file_error(path, errno);
    fd = opened.get();
  }
  SigpipeBlocked blocked;
  if (int err = write_all(fd, bytes)) throw_file_error(path, err);
  if (opened && ::close(opened.release()) != 0 && errno != EINTR) throw_file_error(path, errno);
}

constexpr char TEMP_MARK[] = ".tmp-";
constexpr size_t TEMP_LETTERS = 6;
constexpr char ALNUM[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Whether `name` is one of the temporary names create_temp() gives.
bool is_temp_name(std::string_view name) {
  const size_t mark = name.size() - std::min(name.size(), TEMP_LETTERS + sizeof TEMP_MARK - 1);
  if (name.size() < TEMP_LETTERS + sizeof TEMP_MARK + 1 || name[0] != '.' ||
      name.substr(mark, sizeof TEMP_MARK - 1) != TEMP_MARK) {
    return false;
  }
  return name.find_first_not_of(ALNUM, name.size() - TEMP_LETTERS) == std::string_view::npos;
}

// Removes the temporary files in `dir` that a killed process left: regular files of the
// temporary naming not changed for a day. Nothing a live write holds is that old.
void remove_stale_temps(const fs::path& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;  // creating the temporary file will say what is wrong
  const time_t day_ago = std::time(nullptr) - 24 * 60 * 60;
  while (const dirent* e = ::readdir(d)) {
    if (!is_temp_name(e->d_name)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_mtime < day_ago) {
      ::unlinkat(::dirfd(d), e->d_name, 0);
    }
  }
  ::closedir(d);
}

// A new file `dir`/`prefix` + six random letters and digits, which open() gives the mode
// 0666 less the umask (mkstemp() would give 0600). Failures name `requested`.
Fd create_temp(const fs::path& dir, const std::string& prefix, const fs::path& requested,
               fs::path& tmp) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (size_t k = 0; k < TEMP_LETTERS; ++k) name += ALNUM[random() % (sizeof ALNUM - 1)];
    tmp = dir / name;
    Fd fd(::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) return fd;
    if (errno != EEXIST) throw_file_error(requested, errno);
  }
  throw_file_error(requested, EEXIST);
}

// Flushes the folder `dir`, so that a rename in it outlives a crash. A file system that
// cannot flush a folder (EINVAL) keeps it as well as it can.
int sync_folder(const fs::path& dir) {
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!d) return errno;
  if (::fsync(d.get()) != 0 && errno != EINVAL) return errno;
  return 0;
}

}  // namespace

AtomicWrite::AtomicWrite(const fs::path& requested, std::string_view bytes)
    : requested_(requested) {
  // What is at the path, through any symbolic links (/dev/fd/N included).
  struct stat target {};
  if (::stat(requested.c_str(), &target) == 0) {
    if (S_ISDIR(target.st_mode)) throw_file_error(requested, EISDIR);
    const int fd = descriptor_at(requested, target);
    if (fd >= 0 || !S_ISREG(target.st_mode)) {
      write_into(requested, fd, bytes);
      return;
    }
  }
  path_ = resolve_links(requested, [](const std::string&) {});
  fs::path dir = path_.parent_path();
  if (dir.empty()) dir = ".";
  remove_stale_temps(dir);
  std::string prefix = ".";
  prefix += path_.filename().native();
  prefix += TEMP_MARK;
  fd_ = create_temp(dir, prefix, requested, tmp_);
  slot_ = publish_temp(tmp_);
  // The new file keeps the mode of the file it replaces.
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && ::fchmod(fd_.get(), st.st_mode & 07777) != 0) {
    abandon(errno);
  }
  if (int err = write_all(fd_.get(), bytes)) abandon(err);
#if Q9_HAVE_SYNC_FILE_RANGE
  // Start writing the data out now, so that commit() finds less to wait for (elsewhere its
  // fsync() does all of it). Only a head start: a failure here shows again in that fsync().
  (void)::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

AtomicWrite::~AtomicWrite() {
  if (fd_) discard();
}

void AtomicWrite::commit() {
  if (!fd_) return;  // written into a device, FIFO or descriptor, or committed already
  if (::fsync(fd_.get()) != 0) abandon(errno);
  if (::close(fd_.release()) != 0) abandon(errno);
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) abandon(errno);
  forget_temp(slot_);
  fs::path dir = path_.parent_path();
  if (int err = sync_folder(dir.empty() ? "." : dir)) throw_file_error(requested_, err);
}

void AtomicWrite::discard() {
  forget_temp(slot_);
  fd_.reset();
  ::unlink(tmp_.c_str());
}

void AtomicWrite::abandon(int err) {
  discard();
  throw_file_error(requested_, err);
}

void write_file_atomic(const fs::path& path, std::string_view bytes) {
  AtomicWrite(path, bytes).commit();
}

int remove_temp_files_on_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) return errno;
    if (old.sa_handler == SIG_IGN) continue;  // nohup's SIGHUP, say
    struct sigaction sa {};
    sa.sa_handler = on_ending_signal;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(sig, &sa, nullptr) != 0) return errno;
  }
  return 0;
}

}  // namespace q9::files
