// Whole-file reads with read(): the files q9 reads are some tens of KB, where mapping
// them costs more system calls than the copy it spares.
#include "core/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/fd.hpp"
#include "core/utf8.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void too_large(const fs::path& path, size_t limit) {
  std::string bound = limit % (size_t{1} << 30) == 0 ? std::to_string(limit >> 30) + " GiB"
                                                     : std::to_string(limit) + " bytes";
  throw FileError(path.string() + ": file larger than " + bound);
}

// One read() that retries when a signal interrupts it; the bytes read, or throws.
size_t read_some(int fd, const fs::path& path, char* to, size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, to, n);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw_file_error(path, errno);
  }
}

Fd open_for_reading(const fs::path& path, off_t& size) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f) throw_file_error(path, errno);
  struct stat st {};
  if (::fstat(f.get(), &st) != 0) throw_file_error(path, errno);
  if (S_ISDIR(st.st_mode)) throw_file_error(path, EISDIR);
  size = S_ISREG(st.st_mode) ? st.st_size : -1;
  return f;
}

}  // namespace

FileBytes::FileBytes(const fs::path& path, size_t limit) {
  off_t size = -1;
  const Fd f = open_for_reading(path, size);
  *this = FileBytes(f.get(), path, size, limit);
}

FileBytes::FileBytes(int fd, const fs::path& path, off_t size_at_open, size_t limit) {
  if (size_at_open > 0 && static_cast<uintmax_t>(size_at_open) > limit) too_large(path, limit);
  try {
    // A regular file is read into a buffer of its size, and one more read finds its end;
    // anything else (a device, a pipe, a file that grew) in a buffer that doubles.
    size_t capacity = size_at_open > 0 ? static_cast<size_t>(size_at_open) : 0;
    data_.reset(new char[capacity]);
    for (;;) {
      if (size_ < capacity) {
        const size_t n = read_some(fd, path, data_.get() + size_, capacity - size_);
        if (n == 0) break;
        size_ += n;
        continue;
      }
      char probe[4096];
      const size_t n = read_some(fd, path, probe, sizeof probe);
      if (n == 0) break;
      if (size_ + n > limit) too_large(path, limit);
      capacity = std::min(limit, std::max({capacity * 2, size_ + n, size_t{1} << 16}));
      std::unique_ptr<char[]> grown(new char[capacity]);
      std::memcpy(grown.get(), data_.get(), size_);
      std::memcpy(grown.get() + size_, probe, n);
      data_ = std::move(grown);
      size_ += n;
    }
  } catch (const std::bad_alloc&) {
    throw FileError(path.string() + ": out of memory");
  }
  // A file cut short under the reader gives what was left of it: some other text than
  // the file ever held, which must not be taken for the file.
  if (size_at_open > 0 && size_ < static_cast<size_t>(size_at_open)) {
    throw FileError(path.string() + ": file truncated while being read");
  }
}

std::string read_file(const fs::path& path) { return std::string(FileBytes(path).bytes()); }

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

}  // namespace q9::files
