// The parsed form's text: tab-separated fields, values within a field separated by 0x1f.
#include "screen/parsed.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "core/fd.hpp"
#include "core/file_error.hpp"

namespace q9::screen {
namespace {

constexpr std::string_view kMagic = "q9-screen parsed 1\n";

void put_value(std::string_view v, std::string& out) {
  const size_t at = out.size();
  out.append(v);
  // Values seldom hold a separator: one pass to look, a second only to mend.
  for (size_t i = at; i < out.size(); ++i) {
    const char c = out[i];
    if (static_cast<unsigned char>(c) < 0x20 &&
        (c == '\t' || c == '\n' || c == '\r' || c == '\x1f')) {
      out[i] = ' ';
    }
  }
}

void put_values(const std::vector<std::string_view>& vs, std::string& out) {
  for (size_t i = 0; i < vs.size(); ++i) {
    if (i) out += '\x1f';
    put_value(vs[i], out);
  }
}

void split(std::string_view text, char sep, std::vector<std::string_view>& out) {
  if (text.empty()) return;
  size_t pos = 0;
  for (;;) {
    const size_t end = text.find(sep, pos);
    out.push_back(text.substr(pos, end - pos));
    if (end == std::string_view::npos) return;
    pos = end + 1;
  }
}

}  // namespace

std::string identity_of(const std::vector<std::filesystem::path>& files) {
  std::string out;
  for (const auto& f : files) {
    struct stat st;
    if (::stat(f.c_str(), &st) != 0) throw files::FileError(f.string(), errno);
    std::error_code ec;
    const auto mtime = std::filesystem::last_write_time(f, ec);
    if (ec) throw files::FileError(f.string(), ec.value());
    out += f.filename().string() + ' ' + std::to_string(st.st_size) + ' ' +
           std::to_string(static_cast<long long>(mtime.time_since_epoch().count())) + ' ' +
           std::to_string(st.st_ino) + ';';
  }
  return out;
}

void append_parsed(const EntryView& e, std::string_view keys, std::string& out) {
  put_value(e.id, out);
  out += '\t';
  put_value(e.type, out);
  out += '\t';
  put_value(e.listed_on, out);
  out += '\t';
  put_values(e.names, out);
  out += '\t';
  put_values(e.programs, out);
  out += '\t';
  put_values(e.dob, out);
  out += '\t';
  put_values(e.nationality, out);
  out += '\t';
  out += keys;
  out += '\n';
}

std::string parsed_file(const ParsedHead& head, std::string_view body) {
  std::string out(kMagic);
  put_value(head.identity, out);
  out += '\n' + std::to_string(head.entries) + '\t' + std::to_string(head.aliases) + '\t';
  put_value(head.published, out);
  out += '\t';
  for (size_t i = 0; i < head.sha256.size(); ++i) out += (i ? " " : "") + head.sha256[i];
  out += '\n';
  out.append(body);
  return out;
}

std::optional<ParsedHead> read_parsed_head(std::string_view bytes, std::string_view& body) {
  if (!bytes.starts_with(kMagic)) return std::nullopt;
  bytes.remove_prefix(kMagic.size());
  const size_t l1 = bytes.find('\n');
  if (l1 == std::string_view::npos) return std::nullopt;
  const size_t l2 = bytes.find('\n', l1 + 1);
  if (l2 == std::string_view::npos) return std::nullopt;
  ParsedHead h;
  h.identity = bytes.substr(0, l1);
  std::vector<std::string_view> f;
  split(bytes.substr(l1 + 1, l2 - l1 - 1), '\t', f);
  if (f.size() != 4) return std::nullopt;
  try {
    h.entries = std::stoull(std::string(f[0]));
    h.aliases = std::stoull(std::string(f[1]));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  h.published = f[2];
  std::vector<std::string_view> hashes;
  split(f[3], ' ', hashes);
  for (auto x : hashes) h.sha256.emplace_back(x);
  body = bytes.substr(l2 + 1);
  if (!body.empty() && body.back() != '\n') return std::nullopt;  // cut within a line
  return h;
}

void write_parsed(const std::filesystem::path& path, std::string_view text) {
  static thread_local std::mt19937_64 random(std::random_device{}());
  char tail[40];
  std::snprintf(tail, sizeof tail, ".%d.%016llx.part", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(random()));
  std::string name = ".";  // by appends, as in temp_name()
  name.append(path.filename().string()).append(tail);
  const std::filesystem::path tmp = path.parent_path() / name;
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw files::FileError(tmp.string(), errno);
  for (size_t at = 0; at < text.size();) {
    const ssize_t n =
        ::write(fd.get(), text.data() + at, std::min<size_t>(text.size() - at, 1 << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      ::unlink(tmp.c_str());
      throw files::FileError(tmp.string(), err);
    }
    at += static_cast<size_t>(n);
  }
  if (::close(fd.release()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw files::FileError(path.string(), err);
  }
}

bool parse_parsed_line(std::string_view line, EntryView& e, std::string_view& keys) {
  e.clear();
  std::string_view f[8];
  size_t pos = 0;
  for (int i = 0; i < 8; ++i) {
    const size_t end = i < 7 ? line.find('\t', pos) : line.size();
    if (end == std::string_view::npos) return false;
    f[i] = line.substr(pos, end - pos);
    pos = end + 1;
  }
  e.id = f[0], e.type = f[1], e.listed_on = f[2];
  split(f[3], '\x1f', e.names);
  split(f[4], '\x1f', e.programs);
  split(f[5], '\x1f', e.dob);
  split(f[6], '\x1f', e.nationality);
  keys = f[7];
  return true;
}

}  // namespace q9::screen
