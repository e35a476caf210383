// Reading whole input files: a data file, a dossier, a generated source.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/file_error.hpp"

namespace q9::files {

// The most q9 reads of one file: far above any dossier or data file (some tens of KB, a
// few MB at most), and low enough that a device without end (/dev/zero) is refused long
// before memory runs out.
inline constexpr size_t INPUT_LIMIT = size_t{1} << 30;

// The whole of a file, read with read() into memory of its own (not zero-filled first).
// Failures throw FileError naming the file: a directory, a missing or unreadable file, a
// file above `limit` ("<path>: file larger than 1 GiB"), a regular file that became
// shorter while it was read ("<path>: file truncated while being read"), and memory that
// ran out ("<path>: out of memory").
class FileBytes {
 public:
  explicit FileBytes(const std::filesystem::path& path, size_t limit = INPUT_LIMIT);
  // The rest of the open file `fd`, which held `size_at_open` bytes when it was looked at
  // (-1: not a regular file, read to its end); `path` names it in errors.
  FileBytes(int fd, const std::filesystem::path& path, off_t size_at_open,
            size_t limit = INPUT_LIMIT);

  std::string_view bytes() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
};

// The whole file as a string, as FileBytes reads it.
std::string read_file(const std::filesystem::path& path);

// As read_file(), and checks that the bytes are UTF-8; otherwise throws FileError
// "<path>: invalid UTF-8 at byte N".
std::string read_utf8_file(const std::filesystem::path& path);

// Throws FileError "<path>: invalid UTF-8 at byte N" unless `bytes` are UTF-8.
void check_utf8(const std::filesystem::path& path, std::string_view bytes);

}  // namespace q9::files
