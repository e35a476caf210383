// Reading whole files, replacing files atomically, and the text of a path in messages.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/fd.hpp"

namespace q9::files {

// A file-system failure; the message names the file and the problem,
// e.g. "data.json: No such file or directory".
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // "<what>: <the system's text for the errno value `err`>".
  FileError(const std::string& what, int err);
};

// Maps in one step the pages of a fresh buffer of some megabytes that is about to be
// filled (a file read into memory, a document being built): taking a fault per page costs
// about as much as filling it. Only a hint, ignored below 256 KB and by kernels before 5.14.
void prefault(char* p, size_t n);

// Buffers of megabytes (a dossier, its data) come from the heap and stay there when freed,
// so the next one reuses pages already mapped instead of faulting in new ones. Where the C
// library cannot be told, its own policy stands: the same output, some more page faults.
void tune_heap();

// Readies `n` bytes of heap for the buffers a command is about to build (a parsed record,
// the document rendered from it): on Linux they are asked for in huge pages, so that
// filling them takes a few faults instead of one per 4 KB page. Only a hint: ignored below
// 4 MB, where the kernel keeps huge pages off, and on other systems.
void reserve_heap(size_t n);  // after tune_heap()

// The normal form of a path text, as messages show paths: repeated "/" collapse, "."
// components and a trailing "/" are dropped ("./out//acme.html" -> "out/acme.html");
// ".." is kept, a leading "//" (exactly two) is kept, and an empty result is ".".
std::string normal_path_text(std::string_view text);

// The whole file as bytes, a copy of what a FileView holds. Throws FileError as FileView
// does.
std::string read_file(const std::filesystem::path& path);

// As read_file(), and checks that the bytes are UTF-8; otherwise throws FileError
// "<path>: invalid UTF-8 at byte N".
std::string read_utf8_file(const std::filesystem::path& path);

// Throws FileError "<path>: invalid UTF-8 at byte N" unless `bytes` are UTF-8.
void check_utf8(const std::filesystem::path& path, std::string_view bytes);

// The whole file, held for one read-only pass over it. A regular file of some size is
// mapped rather than copied, which spares both the copy and the fresh memory it would
// need; anything else (a small file, a device, a pipe) is read. Zero bytes follow the view, and
// its memory stays readable however the file changes meanwhile: should the file become
// shorter, the bytes it lost read as zeros (never a SIGBUS), and check_intact() says so.
class FileView {
 public:
  // Throws FileError (a directory, a missing or unreadable file).
  explicit FileView(const std::filesystem::path& path);
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  std::string_view bytes() const { return bytes_; }
  // Call after the pass: throws FileError "<path>: file truncated while being read" when
  // the mapped file became shorter while it was held (the pass may have seen zeros).
  void check_intact() const;

 private:
  bool map(int fd, size_t size);
  void release();

  std::filesystem::path path_;
  std::string copy_;     // a file that was read
  char* map_ = nullptr;  // or mapped: a zero page, the file's pages, a zero page
  size_t map_size_ = 0;
  Fd fd_;           // the mapped file
  int guard_ = -1;  // the mapping's slot in the SIGBUS handler's table
  std::string_view bytes_;
};

// Replaces the file at `path` with `bytes` so that readers see either the old or the
// new content, never a part: writes a temporary file in the same directory, flushes
// it and renames it into place. A symbolic link at `path` is followed, so the link
// keeps pointing at the new file. The parent directory must exist. Onto a device, a
// FIFO or a socket the bytes are written straight into it (opening a FIFO waits for a
// reader); a failed or short write is an error there too. Throws FileError.
void write_file_atomic(const std::filesystem::path& path, std::string_view bytes);

// Renames `from` to `to` unless something (a dangling symbolic link included) is at `to`
// already. Returns 0, EEXIST when `to` was there, or the errno of the failure. Atomic for
// every process that renames through this call; a lock file "<to>.rename-lock" may stay
// behind where the system has no such rename of its own and the rename failed.
int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// write_file_atomic() in two steps, so that other work can run while the data goes to
// disk: the constructor writes the temporary file (or writes into the device, FIFO or
// socket) and starts writing it out; commit() waits for the disk and renames the file
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

  std::filesystem::path requested_, path_, tmp_;
  Fd fd_;  // the temporary file until commit()
};

}  // namespace q9::files
