// The no-replace rename: renameat2() where the kernel and the file system have it, a file
// lock around a test and a rename elsewhere.
#include "core/rename_no_replace.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "core/fd.hpp"
#include "core/platform.hpp"

namespace q9::files {
namespace fs = std::filesystem;

int rename_no_replace(const fs::path& from, const fs::path& to) {
#if Q9_HAVE_RENAMEAT2
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  // Kernels before 3.15 and some file systems (the very ones where link() failed before this
  // is called) have no such rename.
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  return rename_no_replace_locked(from, to);
}

int rename_no_replace_locked(const fs::path& from, const fs::path& to) {
  // A lock on a file for other processes (its file goes once `to` exists, so a caller that
  // opens it after that finds `to` there), a mutex for other threads of this one, whose
  // locks on the same file would not exclude each other.
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
}

}  // namespace q9::files
