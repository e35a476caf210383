// Fetching a list file through the system's curl, into a temporary file of the cache
// folder, with what is needed to tell whether the whole body arrived.
// Tests: download_test.cpp (a local server playing each behaviour of list servers).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace q9::screen {

// A file that is removed when this goes out of scope, unless kept().
class TempFile {
 public:
  TempFile() = default;
  explicit TempFile(std::filesystem::path path) : path_(std::move(path)) {}
  TempFile(TempFile&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
  TempFile& operator=(TempFile&& o) noexcept;
  ~TempFile();
  const std::filesystem::path& path() const { return path_; }
  void kept() { path_.clear(); }

 private:
  std::filesystem::path path_;
};

// A fresh name in `dir` for a temporary copy of `file`; nothing is created.
std::filesystem::path temp_name(const std::filesystem::path& dir, std::string_view file);

struct Downloaded {
  TempFile body;              // the body as received; gzip data already decoded
  bool length_known = false;  // a stated length was received in full, or a chunked body's
                              // end, or a gzip stream's end
};

// Downloads `url` into `dir` (redirects followed, HTTP errors failing, compression asked
// for, at most `limit`). Throws ListError with the reason in one line: "HTTP 404",
// "no answer within 600 s", "curl is not installed", "Could not resolve host: x", ...
Downloaded download(const std::string& url, const std::filesystem::path& dir, std::string_view file,
                    std::chrono::seconds limit);

}  // namespace q9::screen
