// Entity keys, input checks and times for the memory store. Keys use utf8proc, which
// does NFKC with full case folding in one call; white space is collapsed here. After NFKC
// only the ASCII controls, U+0085, U+1680, U+2028 and U+2029 remain of it, the others
// having become U+0020.
#include "memory/input.hpp"

#include <utf8proc.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>

#include "core/config_dir.hpp"
#include "core/path_text.hpp"
#include "core/utf8.hpp"

namespace q9::memory {
namespace {

std::string _time_text(const char* format, std::time_t t, bool utc) {
  std::tm tm{};
  if (utc)
    gmtime_r(&t, &tm);
  else
    localtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

}  // namespace

void check_text(std::string_view what, std::string_view text) {
  if (auto bad = utf8::find_invalid(text)) {
    throw MemoryError(std::string(what) + " is not valid UTF-8 (byte " + std::to_string(*bad + 1) +
                      ")");
  }
  if (text.find('\0') != std::string_view::npos) {
    throw MemoryError(std::string(what) + " contains a NUL character");
  }
}

std::string entity_key(std::string_view name) {
  check_text("entity name", name);
  utf8proc_uint8_t* folded = nullptr;
  const utf8proc_ssize_t n = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t*>(name.data()),
      static_cast<utf8proc_ssize_t>(name.size()), &folded,
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT |
                                     UTF8PROC_CASEFOLD | UTF8PROC_IGNORE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(folded, &std::free);
  if (n < 0) throw MemoryError(std::string("entity name: ") + utf8proc_errmsg(n));
  const std::string_view text(reinterpret_cast<const char*>(folded), static_cast<size_t>(n));
  std::string key;
  bool space = false;
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const char32_t c = utf8::decode(text, i);
    if (utf8::is_white_space(c)) {
      space = !key.empty();
      continue;
    }
    if (space) key += ' ';
    space = false;
    key.append(text.substr(start, i - start));
  }
  if (key.empty()) throw MemoryError("entity name is empty");
  return key;
}

bool is_calendar_date(std::string_view s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  int y = std::stoi(std::string(s.substr(0, 4)));
  int m = std::stoi(std::string(s.substr(5, 2)));
  int d = std::stoi(std::string(s.substr(8, 2)));
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::string local_date(std::time_t t) { return _time_text("%Y-%m-%d", t, false); }

std::string utc_time(std::time_t t) { return _time_text("%Y-%m-%dT%H:%M:%S+00:00", t, true); }

std::string percent_encode(std::string_view text, std::string_view keep) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
        keep.find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string absolute_report_path(std::string_view path) {
  if (path.empty()) throw MemoryError("report path is empty");
  namespace fs = std::filesystem;
  // "~" and "~/..." name the home directory, as a shell reads them unquoted; a path that
  // came through quotes would otherwise land in a folder named "~" below the current one.
  std::string typed(path);
  if (path == "~" || path.starts_with("~/")) {
    typed = home_of_current_user() + typed.substr(1);
    if (typed.empty()) typed.push_back('/');
  }
  std::error_code ec;
  const fs::path abs = fs::absolute(fs::path(typed), ec);
  if (ec) throw MemoryError("report path " + std::string(path) + ": " + ec.message());
  std::string out = files::normal_path_text(abs.string());
  // A trailing separator names a folder; keep it as typed.
  if (path.back() == '/' && out.back() != '/') out += '/';
  return out;
}

}  // namespace q9::memory
