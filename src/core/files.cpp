// Whole-file reads, atomic replacement of files, and path texts.
#include "core/files.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <random>

#include "core/platform.hpp"
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

// The rest of the open file `fd`, which `st` describes: a regular file is read straight
// into a string of its size; what is beyond that size (a file that grew, a device, a
// pipe) comes in chunks.
std::string read_open(const fs::path& path, int fd, const struct stat& st) {
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
    const ssize_t n = direct ? ::read(fd, bytes.data() + used, bytes.size() - used)
                             : ::read(fd, chunk, sizeof chunk);
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

namespace {
// Blocks from this size up are mapped by the C library, not carved from the heap.
constexpr size_t HEAP_MAPPED_FROM = size_t{64} << 20;
}  // namespace

void tune_heap() {
#if Q9_HAVE_MALLOPT
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(HEAP_MAPPED_FROM));
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

void reserve_heap(size_t n) {
#if Q9_HAVE_MALLOPT && Q9_HAVE_HUGEPAGE
  // Below the mmap threshold tune_heap() sets, the block comes from the heap's top and
  // goes back to it when freed, still marked: the buffers built next are carved from it.
  constexpr uintptr_t huge = 2u << 20;
  if (n < 2 * huge || n >= HEAP_MAPPED_FROM) return;
  void* block = std::malloc(n);
  if (block == nullptr) return;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(block) + huge - 1) & ~(huge - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(block) + n) & ~(huge - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  std::free(block);
#else
  (void)n;  // the C library's heap as it comes
#endif
}

void prefault(char* p, size_t n) {
#if Q9_HAVE_POPULATE_WRITE
  if (n < (256u << 10)) return;
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)p;  // the pages fault in one by one as they are filled
  (void)n;
#endif
}

std::string read_file(const fs::path& path) {
  const FileView file(path);
  std::string bytes(file.bytes());
  file.check_intact();
  return bytes;
}

std::string read_utf8_file(const fs::path& path) {
  std::string bytes = read_file(path);
  check_utf8(path, bytes);
  return bytes;
}

void check_utf8(const fs::path& path, std::string_view bytes) {
  if (auto bad = utf8::find_invalid(bytes)) {
    throw FileError(path.string() + ": invalid UTF-8 at byte " + std::to_string(*bad));
  }
}

namespace {

// Mapped files whose pages, should the file become shorter, would raise SIGBUS. The
// handler puts zero pages in place of the lost ones and marks the mapping as cut; it
// passes any other SIGBUS on to the handler that was there before.
struct Guard {
  std::atomic<uintptr_t> begin{0}, end{0};
  std::atomic<bool> cut{false};
};
Guard guards[16];
struct sigaction previous_sigbus;
uintptr_t page_size;

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  // A read past the end of a file (not a signal sent by a process) in a guarded mapping.
  for (Guard& g : guards) {
    if (info->si_code != BUS_ADRERR) break;
    const uintptr_t begin = g.begin.load(), end = g.end.load();
    if (at < begin || at >= end) continue;
    const uintptr_t page = at & ~(page_size - 1);
    if (::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      g.cut.store(true);
      return;  // the read is retried and finds zeros
    }
  }
  const auto before = previous_sigbus.sa_handler;
  if (before == SIG_IGN && info->si_code <= 0) return;  // sent by a process, and ignored
  if (before != SIG_DFL && before != SIG_IGN) {
    if (previous_sigbus.sa_flags & SA_SIGINFO) {
      previous_sigbus.sa_sigaction(sig, info, context);
    } else {
      before(sig);
    }
    return;
  }
  ::signal(SIGBUS, SIG_DFL);  // ends the process as it would have ended
  ::raise(SIGBUS);
}

// A free slot for [begin, end), or -1 when all are taken (the file is read instead).
int claim_guard(uintptr_t begin, uintptr_t end) {
  static const bool installed = [] {
    page_size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    return ::sigaction(SIGBUS, &sa, &previous_sigbus) == 0;
  }();
  if (!installed) return -1;
  for (int i = 0; i < static_cast<int>(std::size(guards)); ++i) {
    uintptr_t free = 0;
    if (guards[i].begin.compare_exchange_strong(free, begin)) {
      guards[i].cut.store(false);
      guards[i].end.store(end);
      return i;
    }
  }
  return -1;
}

// Files smaller than this are read: mapping costs more system calls than it saves.
constexpr off_t kMapFrom = 64 << 10;

// Flags of a file's mapping: its pages read in as it is mapped (else each at its first touch),
// and no swap reserved for the zero pages around it (else what the system reserves).
#if Q9_HAVE_MAP_POPULATE
constexpr int READ_AHEAD = MAP_POPULATE;
#else
constexpr int READ_AHEAD = 0;
#endif
#if Q9_HAVE_MAP_NORESERVE
constexpr int NO_SWAP = MAP_NORESERVE;
#else
constexpr int NO_SWAP = 0;
#endif

}  // namespace

FileView::FileView(const fs::path& path) : path_(path) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f) fail(path, errno);
  struct stat st {};
  if (::fstat(f.get(), &st) != 0) fail(path, errno);
  if (S_ISDIR(st.st_mode)) fail(path, EISDIR);
  if (S_ISREG(st.st_mode) && st.st_size >= kMapFrom && map(f.get(), static_cast<size_t>(st.st_size))) {
    fd_ = std::move(f);  // kept to look at the file's size after the pass
    return;
  }
  copy_ = read_open(path, f.get(), st);
  bytes_ = copy_;
}

bool FileView::map(int fd, size_t size) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t pages = (size + page - 1) / page * page;
  // The file between two zero pages: a pass that reads a little past either end of the
  // text (a scanner finishing a character) reads zeros, not a fault.
  void* area =
      ::mmap(nullptr, pages + 2 * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | NO_SWAP, -1, 0);
  if (area == MAP_FAILED) return false;
  map_ = static_cast<char*>(area);
  map_size_ = pages + 2 * page;
  char* const text = map_ + page;
  guard_ = claim_guard(reinterpret_cast<uintptr_t>(text), reinterpret_cast<uintptr_t>(text + pages));
  if (guard_ < 0 ||
      ::mmap(text, size, PROT_READ, MAP_PRIVATE | MAP_FIXED | READ_AHEAD, fd, 0) == MAP_FAILED) {
    release();
    return false;
  }
  bytes_ = std::string_view(text, size);
  return true;
}

void FileView::release() {
  if (guard_ >= 0) {
    guards[guard_].end.store(0);
    guards[guard_].begin.store(0);
    guard_ = -1;
  }
  if (map_) ::munmap(map_, map_size_);
  map_ = nullptr;
}

FileView::~FileView() { release(); }

void FileView::check_intact() const {
  // A file cut within a page loses its tail to zeros without a fault; its size tells.
  struct stat st {};
  const bool shorter = fd_ && ::fstat(fd_.get(), &st) == 0 && st.st_size >= 0 &&
                       static_cast<size_t>(st.st_size) < bytes_.size();
  if (shorter || (guard_ >= 0 && guards[guard_].cut.load())) {
    throw FileError(path_.string() + ": file truncated while being read");
  }
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
#if Q9_HAVE_SYNC_FILE_RANGE
  // Start writing the data out now, so that commit() finds less to wait for (elsewhere its
  // fsync() does all of it).
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

int rename_no_replace(const fs::path& from, const fs::path& to) {
#if Q9_HAVE_RENAMEAT2
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                          : errno;
#else
  // The test for `to` and the rename are made one step by a lock that every caller takes:
  // a lock on a file for other processes (its file goes once `to` exists, so a caller that
  // opens it after that finds `to` there), a mutex for other threads of this one.
  static std::mutex in_process;
  const std::lock_guard<std::mutex> held(in_process);
  fs::path lock_path = to;
  lock_path += ".rename-lock";
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock) return errno;
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  while (::fcntl(lock.get(), F_SETLKW, &whole) != 0) {
    if (errno != EINTR) return errno;
  }
  struct stat st {};
  int err = 0;
  if (::lstat(to.c_str(), &st) == 0) {
    err = EEXIST;
  } else if (errno != ENOENT) {
    err = errno;
  } else if (::rename(from.c_str(), to.c_str()) != 0) {
    err = errno;
  }
  if (err == 0 || err == EEXIST) ::unlink(lock_path.c_str());
  return err;
#endif
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
