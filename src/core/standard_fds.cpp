// Fills closed standard descriptors with /dev/null at start (see standard_fds.hpp).
#include "core/standard_fds.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace q9::standard_fds {
namespace {

bool closed[3] = {false, false, false};

}  // namespace

int guard() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closed[fd] = true;
    // The lowest free number: this one, since those below it are open by now.
    const int got = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got < 0) return errno;
    if (got != fd) {  // not expected; kept from becoming a stray descriptor all the same
      const int moved = ::dup2(got, fd);
      const int err = errno;
      ::close(got);
      if (moved < 0) return err;
    }
  }
  return 0;
}

bool guard_or_report(const char* program) {
  const int err = guard();
  if (err == 0) return true;
  const std::string line =
      std::string(program) + ": error: /dev/null: " + std::strerror(err) + "\n";
  if (!was_closed(STDERR_FILENO)) [[maybe_unused]]
    const auto n = ::write(STDERR_FILENO, line.data(), line.size());
  return false;
}

bool was_closed(int fd) { return fd >= 0 && fd <= 2 && closed[fd]; }

int for_writing(int fd) { return was_closed(fd) ? -1 : fd; }

}  // namespace q9::standard_fds
