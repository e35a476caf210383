// Whole-file reads, atomic replacement of files, and path texts.
#include "core/files.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>

#include "core/utf8.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const fs::path& path, int err) { throw FileError(path.string(), err); }

// Follows a chain of symbolic links at `path` to the path they end at, which need not exist.
fs::path resolve_links(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    fs::path target = fs::read_symlink(path, ec);
    if (ec) fail(path, ec.value());
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  fail(path, ELOOP);
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
      const timespec now{};
      while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
      }
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

// Writes straight into an existing device, FIFO or socket at `path`, as a shell's ">"
// would: there is nothing to replace atomically, and renaming a file over the node
// would destroy it.
void write_into(const fs::path& path, std::string_view bytes) {
  Fd f(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (!f) fail(path, errno);
  SigpipeBlocked blocked;
  if (int err = write_all(f.get(), bytes)) fail(path, err);
  if (::close(f.release()) != 0 && errno != EINTR) fail(path, errno);
}

// Maps the pages of a fresh buffer of some megabytes in one step: taking a fault per
// page costs about as much as the rest of reading the file. Only a hint; kernels before
// 5.14 ignore it.
void prefault(char* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
  if (n < (256u << 10)) return;
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)n;
#endif
}

// A new file `dir`/`prefix` + six random letters and digits, which open() gives the mode
// 0666 less the umask (mkstemp() would give 0600). Failures name `requested`.
Fd create_temp(const fs::path& dir, const std::string& prefix, const fs::path& requested,
               fs::path& tmp) {
  static constexpr char ALNUM[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int k = 0; k < 6; ++k) name += ALNUM[random() % (sizeof ALNUM - 1)];
    tmp = dir / name;
    Fd fd(::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) return fd;
    if (errno != EEXIST) fail(requested, errno);
  }
  fail(requested, EEXIST);
}

}  // namespace

FileError::FileError(const std::string& what, int err)
    : std::runtime_error(what + ": " + std::strerror(err)) {}

std::string read_file(const fs::path& path) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f) fail(path, errno);
  struct stat st {};
  if (::fstat(f.get(), &st) != 0) fail(path, errno);
  if (S_ISDIR(st.st_mode)) fail(path, EISDIR);
  // A regular file is read straight into a string of its size; what is beyond that
  // size (a file that grew, a device, a pipe) comes in chunks.
  std::string bytes;
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes.reserve(static_cast<size_t>(st.st_size));
    prefault(bytes.data(), bytes.capacity());
    bytes.resize(static_cast<size_t>(st.st_size));
  }
  size_t used = 0;
  char chunk[1 << 16];
  for (;;) {
    const bool direct = used < bytes.size();
    const ssize_t n = direct ? ::read(f.get(), bytes.data() + used, bytes.size() - used)
                             : ::read(f.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(path, errno);
    }
    if (n == 0) break;
    if (!direct) bytes.append(chunk, static_cast<size_t>(n));
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

std::string read_utf8_file(const fs::path& path) {
  std::string bytes = read_file(path);
  if (auto bad = utf8::find_invalid(bytes)) {
    throw FileError(path.string() + ": invalid UTF-8 at byte " + std::to_string(*bad));
  }
  return bytes;
}

AtomicWrite::AtomicWrite(const fs::path& requested, std::string_view bytes)
    : requested_(requested) {
  // What is at the path, through any symbolic links (/dev/fd/N included).
  struct stat target {};
  if (::stat(requested.c_str(), &target) == 0) {
    if (S_ISDIR(target.st_mode)) fail(requested, EISDIR);
    if (!S_ISREG(target.st_mode)) {
      write_into(requested, bytes);
      return;
    }
  }
  path_ = resolve_links(requested);
  fs::path dir = path_.parent_path();
  if (dir.empty()) dir = ".";
  fd_ = create_temp(dir, "." + path_.filename().string() + ".tmp-", requested, tmp_);
  // The new file keeps the mode of the file it replaces.
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && ::fchmod(fd_.get(), st.st_mode & 07777) != 0) {
    abandon(errno);
  }
  if (int err = write_all(fd_.get(), bytes)) abandon(err);
#ifdef SYNC_FILE_RANGE_WRITE
  // Start writing the data out now, so that commit() finds less to wait for.
  ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

AtomicWrite::~AtomicWrite() {
  if (fd_) {
    fd_.reset();
    ::unlink(tmp_.c_str());
  }
}

void AtomicWrite::commit() {
  if (!fd_) return;  // written into a device, FIFO or socket, or committed already
  if (::fsync(fd_.get()) != 0) abandon(errno);
  if (::close(fd_.release()) != 0) abandon(errno);
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) abandon(errno);
}

void AtomicWrite::abandon(int err) {
  fd_.reset();
  ::unlink(tmp_.c_str());
  fail(requested_, err);
}

void write_file_atomic(const fs::path& path, std::string_view bytes) {
  AtomicWrite(path, bytes).commit();
}

std::string normal_path_text(std::string_view text) {
  std::string root;
  if (text.starts_with("//") && !text.starts_with("///")) {
    root = "//";
  } else if (text.starts_with("/")) {
    root = "/";
  }
  std::string body;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find('/', i);
    if (j == std::string_view::npos) j = text.size();
    std::string_view part = text.substr(i, j - i);
    if (!part.empty() && part != ".") {
      if (!body.empty()) body += '/';
      body += part;
    }
    i = j + 1;
  }
  if (root.empty() && body.empty()) return ".";
  return root + body;
}

}  // namespace q9::files
