// Writing an output file so that it is whole or not there: a temporary file renamed into
// place, or, where the path names a device, a FIFO or an open descriptor, straight into it.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/fd.hpp"
#include "core/file_error.hpp"

namespace q9::files {

// Replaces the file at `path` with `bytes` so that readers see either the old or the new
// content, never a part: writes a temporary file ".<name>.tmp-XXXXXX" in the same folder,
// flushes it, renames it into place and flushes the folder. A symbolic link at `path` is
// followed, so the link keeps pointing at the new file. The parent folder must exist.
// Temporary files of this naming older than a day in that folder (left by a process that
// was killed) are removed first.
//
// Nothing is renamed over what is not a regular file, nor over a file this process has
// open: a path that resolves to one of its open descriptors (its standard output or
// error, /dev/stdout, /dev/fd/N) is written through that descriptor, so that a shell's
// ">>" appends; a device, a FIFO or a socket is opened and written into (opening a FIFO
// waits for a reader). A failed or short write is an error there too. Throws FileError.
void write_file_atomic(const std::filesystem::path& path, std::string_view bytes);

// write_file_atomic() in two steps, so that other work can run while the data goes to
// disk: the constructor writes the temporary file (or writes into the device, FIFO or
// descriptor) and starts writing it out; commit() waits for the disk and renames the file
// into place. Without a commit() the temporary file is removed. Both throw FileError.
class AtomicWrite {
 public:
  AtomicWrite(const std::filesystem::path& path, std::string_view bytes);
  ~AtomicWrite();
  AtomicWrite(const AtomicWrite&) = delete;
  AtomicWrite& operator=(const AtomicWrite&) = delete;
  void commit();

 private:
  [[noreturn]] void abandon(int err);
  void discard();

  std::filesystem::path requested_, path_, tmp_;
  Fd fd_;          // the temporary file until commit()
  int slot_ = -1;  // its entry among the files a signal removes
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary file being written before they end
// the process as they would have (a signal the process ignores stays ignored). Called once,
// from main; returns 0 or the errno of the sigaction() that failed.
int remove_temp_files_on_signals();

}  // namespace q9::files
