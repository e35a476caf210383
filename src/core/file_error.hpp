// The error every file operation of q9 throws: the file named, then the problem.
#pragma once

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace q9::files {

// A file-system failure; the message names the file and the problem,
// e.g. "data.json: No such file or directory".
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // "<what>: <the system's text for the errno value `err`>".
  FileError(const std::string& what, int err)
      : std::runtime_error(what + ": " + std::strerror(err)) {}
};

// Throws FileError "<path>: <the system's text for `err`>".
[[noreturn]] inline void throw_file_error(const std::filesystem::path& path, int err) {
  throw FileError(path.string(), err);
}

}  // namespace q9::files
