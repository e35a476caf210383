// Text to a descriptor through one buffer, or to a stream.
#include "core/out.hpp"

#include <unistd.h>

#include <cerrno>
#include <ostream>

namespace q9 {
namespace {

// Pending text past this size is written out; a larger text is written without a copy.
constexpr size_t kLargeWrite = 64 << 10;

}  // namespace

Out::~Out() { flush(); }

Out& Out::operator<<(std::string_view text) {
  if (stream_ || !buffered_) {
    _write(text);
  } else if (pending_.empty() && text.size() >= kLargeWrite) {
    _write(text);
  } else {
    pending_.append(text);
    if (pending_.size() >= kLargeWrite) flush();
  }
  return *this;
}

void Out::flush() {
  if (!pending_.empty()) {
    _write(pending_);
    pending_.clear();
  }
  if (stream_ && error_ == 0 && !stream_->flush()) error_ = EIO;
}

void Out::_write(std::string_view text) {
  if (error_ != 0) return;
  if (stream_) {
    if (!stream_->write(text.data(), static_cast<std::streamsize>(text.size()))) error_ = EIO;
    return;
  }
  while (!text.empty()) {
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return;
    }
    if (n == 0) {  // a file that takes no more
      error_ = ENOSPC;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace q9
