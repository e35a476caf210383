// Downloads through curl, started as a child process: the only network code is curl's.
#include "screen/download.hpp"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <random>

#include "core/file_error.hpp"
#include "core/read_file.hpp"
#include "process/spawn.hpp"
#include "screen/entry.hpp"

namespace q9::screen {
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMaxInflated = uint64_t(2) << 30;

// The file's bytes, or nothing when it was never written.
std::string read_or_empty(const fs::path& path) {
  try {
    return files::read_file(path);
  } catch (const files::FileError&) {
    return {};
  }
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Response {
  int status = 0;
  bool length = false, chunked = false;
};

// The last response of the header dump (curl writes one block per redirect).
Response last_response(const std::string& headers) {
  Response r;
  size_t pos = 0;
  while (pos < headers.size()) {
    size_t end = headers.find('\n', pos);
    if (end == std::string::npos) end = headers.size();
    std::string line = headers.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("HTTP/")) {
      r = Response();
      const size_t sp = line.find(' ');
      if (sp != std::string::npos) r.status = std::atoi(line.c_str() + sp + 1);
      continue;
    }
    const std::string l = lower(line);
    if (l.starts_with("content-length:")) r.length = true;
    if (l.starts_with("transfer-encoding:") && l.find("chunked") != std::string::npos) {
      r.chunked = true;
    }
  }
  return r;
}

// Decodes the gzip file `from` (one or more members) into `to`. False when the data end
// before a member's trailer; ListError when they are not gzip or inflate too far.
bool gunzip(const fs::path& from, const fs::path& to) {
  const files::FileBytes in(from, size_t(4) << 30);
  std::FILE* out = std::fopen(to.c_str(), "wb");
  if (!out) throw files::FileError(to.string(), errno);
  struct Close {
    std::FILE* f;
    ~Close() {
      if (f) std::fclose(f);
    }
  } closer{out};
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } ender{&z};
  const std::string_view bytes = in.bytes();
  size_t at = 0;
  uint64_t total = 0;
  bool ended = false;
  std::vector<unsigned char> buf(1 << 18);
  for (;;) {
    if (z.avail_in == 0) {
      if (at >= bytes.size()) break;
      const size_t n = std::min<size_t>(bytes.size() - at, 1u << 30);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at));
      z.avail_in = static_cast<uInt>(n);
      at += n;
    }
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      throw ListError("the gzip body is damaged");
    }
    const size_t produced = buf.size() - z.avail_out;
    total += produced;
    if (total > kMaxInflated) throw ListError("the gzip body inflates to more than 2 GiB");
    if (produced && std::fwrite(buf.data(), 1, produced, out) != produced) {
      throw files::FileError(to.string(), errno);
    }
    ended = rc == Z_STREAM_END;
    if (ended) {
      if (z.avail_in == 0 && at >= bytes.size()) break;
      inflateReset(&z);  // another member follows
    } else if (rc == Z_BUF_ERROR && z.avail_in == 0 && at >= bytes.size()) {
      break;
    }
  }
  closer.f = nullptr;
  if (std::fclose(out) != 0) throw files::FileError(to.string(), errno);
  return ended;
}

}  // namespace

TempFile& TempFile::operator=(TempFile&& o) noexcept {
  if (this != &o) {
    TempFile gone(std::move(*this));
    path_ = std::move(o.path_);
    o.path_.clear();
  }
  return *this;
}

TempFile::~TempFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

fs::path temp_name(const fs::path& dir, std::string_view file) {
  static thread_local std::mt19937_64 random(std::random_device{}());
  char tail[32];
  std::snprintf(tail, sizeof tail, ".%d.%016llx.part", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(random()));
  // Built by appends: GCC 12 sees a false overlap in "." + std::string(...).
  std::string name = ".";
  name.append(file).append(tail);
  return dir / name;
}

Downloaded download(const std::string& url, const fs::path& dir, std::string_view file,
                    std::chrono::seconds limit) {
  const auto curl = process::find_executable("curl");
  if (!curl) throw ListError("curl is not installed (not on the path)");
  Downloaded d;
  d.body = TempFile(temp_name(dir, file));
  TempFile headers(temp_name(dir, std::string(file) + ".headers"));
  const std::vector<std::string> argv = {"curl",
                                         "--silent",
                                         "--show-error",
                                         "--location",
                                         "--fail",
                                         "--compressed",
                                         "--proto",
                                         "=http,https",
                                         "--proto-redir",
                                         "=http,https",
                                         "--max-redirs",
                                         "10",
                                         "--max-time",
                                         std::to_string(limit.count()),
                                         "--max-filesize",
                                         "4294967296",
                                         "--user-agent",
                                         "q9-screen",
                                         "--output",
                                         d.body.path().string(),
                                         "--dump-header",
                                         headers.path().string(),
                                         "--",
                                         url};
  process::RunResult r;
  try {
    // curl keeps to --max-time; the runner's limit is there should it not.
    r = process::run(*curl, argv, std::chrono::seconds(limit.count() + 30));
  } catch (const process::TimeoutError&) {
    throw ListError("no answer within " + std::to_string(limit.count()) + " s");
  } catch (const std::system_error& e) {
    throw ListError(std::string("curl could not be started: ") + e.what());
  } catch (const process::ChildError& e) {
    throw ListError(std::string("curl failed: ") + e.what());
  }
  const Response resp = last_response(read_or_empty(headers.path()));
  if (r.status == 28) throw ListError("no answer within " + std::to_string(limit.count()) + " s");
  if (r.status == 22 || (r.status == 0 && resp.status != 200)) {
    throw ListError("HTTP " + std::to_string(resp.status));
  }
  if (r.status != 0) {
    std::string why = r.err.substr(0, r.err.find('\n'));
    if (const size_t paren = why.find(") ");
        why.starts_with("curl: (") && paren != std::string::npos) {
      why = why.substr(paren + 2);
    }
    if (r.status == 18) why = "the body was cut short (" + why + ")";
    if (r.status == 63) why = "the body is larger than 4 GiB, more than any copy of the list";
    throw ListError(why.empty() ? "curl failed with status " + std::to_string(r.status) : why);
  }
  d.length_known = resp.length || resp.chunked;
  // Gzip bytes are decoded whatever the headers said (a server may send a .gz file as it is).
  std::string head(2, '\0');
  if (std::FILE* f = std::fopen(d.body.path().c_str(), "rb")) {
    head.resize(std::fread(head.data(), 1, 2, f));
    std::fclose(f);
  }
  if (head == "\x1f\x8b") {
    TempFile plain(temp_name(dir, file));
    if (!gunzip(d.body.path(), plain.path())) throw ListError("the gzip body is cut short");
    d.body = std::move(plain);
    d.length_known = true;  // a gzip stream ends with its own length and checksum
  }
  return d;
}

}  // namespace q9::screen
