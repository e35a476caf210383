// The q9 program: a thin main over the command module, and the check that everything
// printed reached standard output.
#include <errno.h>
#include <malloc.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/commands.hpp"

namespace {

// Standard output written with write(2), keeping the first error: iostreams keep only a
// fail bit, and errno is long gone by the time main could look at it. After an error the
// rest is dropped.
class StdoutBuf : public std::streambuf {
 public:
  StdoutBuf() { setp(buf_, buf_ + sizeof buf_); }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  int sync() override {
    for (const char* p = pbase(); p < pptr() && error_ == 0;) {
      const ssize_t n = ::write(STDOUT_FILENO, p, static_cast<size_t>(pptr() - p));
      if (n >= 0)
        p += n;
      else if (errno != EINTR)
        error_ = errno;
    }
    setp(buf_, buf_ + sizeof buf_);
    return error_ == 0 ? 0 : -1;
  }

 private:
  char buf_[1 << 16];
  int error_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef M_MMAP_THRESHOLD
  // Buffers of megabytes (a dossier, its data) come from the heap and stay there when
  // freed, so the next one reuses pages already mapped instead of faulting in new ones.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  StdoutBuf buf;
  std::ostream out(&buf);
  q9::cli::Io io{out, std::cerr};
  int status = q9::cli::run(args, io);
  out.flush();
  // A reader that went away (q9 ... | head) wants no more and hears nothing.
  if (buf.error() == EPIPE) return 1;
  if (buf.error() != 0) {
    std::cerr << "q9: error: standard output: " << std::strerror(buf.error()) << '\n';
    return 1;
  }
  return status;
}
