// An owned file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace q9 {

// Closes its descriptor when it goes out of scope. Move-only, so that no two owners close
// one descriptor (or a later one that reuses its number).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it, for a caller that checks close() itself.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held, if any, and takes `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace q9
