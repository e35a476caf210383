// Each behaviour of a list server, played by tests/screen/list_server.py, against the
// status it must give: a list counts as screened only when its whole file was read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "screen/screen.hpp"
#include "testing/support.hpp"

namespace q9::screen {
namespace {
namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

constexpr Floors TEST_FLOORS{3, 2, 3, 3, 3, 6};
const fs::path FIXTURES = fs::path(Q9_SOURCE_DIR) / "tests/screen/fixtures";

// The server, started once for the suite and stopped at its end.
class Server {
 public:
  Server() {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      const std::string script = std::string(Q9_SOURCE_DIR) + "/tests/screen/list_server.py";
      ::execlp("python3", "python3", script.c_str(), FIXTURES.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    char buf[16] = {};
    std::FILE* f = ::fdopen(out[0], "r");
    if (!f || !std::fgets(buf, sizeof buf, f))
      throw std::runtime_error("list server did not start");
    std::fclose(f);
    base_ = "http://127.0.0.1:" + std::string(buf, std::strlen(buf) - 1);
  }
  ~Server() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  std::string url(const std::string& path) const { return base_ + "/" + path; }

 private:
  pid_t pid_;
  std::string base_;
};

Server& server() {
  static Server s;
  return s;
}

ListOutcome screen_one(const std::string& list, const fs::path& cache,
                       std::optional<Hours> max_age = std::nullopt) {
  Options o;
  o.lists = {find_list(list)};
  o.names = {"Hans Müller"};
  o.floors = TEST_FLOORS;
  o.time_limit = std::chrono::seconds(2);
  o.cache = cache;
  o.max_age = max_age;
  return screen(o).at(0);
}

// Files in the cache folder other than the kept lists: left-over temporary copies.
std::vector<std::string> leftovers(const fs::path& cache) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(cache)) {
    if (e.path().filename().string().starts_with(".")) out.push_back(e.path().filename());
  }
  return out;
}

struct Row {
  const char* list;
  const char* path;      // for the list's only file, or SDN.CSV
  const char* alt_path;  // ALT.CSV, for ofac-sdn
  const char* reason;    // "" when it is screened; a reason ending in "*" is a prefix
};

TEST(Download, EachServerBehaviourGivesTheTrueStatus) {
  const Row ROWS[] = {
      {"un", "ok/un.xml", "", ""},
      {"un", "redirect/un.xml", "", ""},
      {"uk", "chunked/uk.csv", "", ""},
      {"un", "gzip-header/un.xml", "", ""},
      {"un", "gzip-raw/un.xml", "", ""},
      {"eu", "gzip-raw/eu.csv", "", ""},
      {"icij", "ok/icij.zip", "", ""},
      {"ofac-sdn", "ok/ofac-sdn.csv", "redirect/ofac-alt.csv", ""},
      {"un", "404/un.xml", "", "HTTP 404"},
      {"un", "403/un.xml", "", "HTTP 403"},
      {"un", "html/un.xml", "", "HTTP 200 but not the UN list (an HTML page)"},
      {"uk", "html/uk.csv", "", "HTTP 200 but not the UK Sanctions List (an HTML page)"},
      {"uk", "cut/uk.csv", "",
       "HTTP 200 without a stated length or a chunked end: a cut copy cannot be told from a "
       "whole one"},
      {"un", "cut/un.xml", "", "the UN list is damaged: line *"},
      {"icij", "cut/icij.zip", "",
       "HTTP 200 but not the ICIJ Offshore Leaks archive (no zip directory)"},
      {"uk", "chunked-cut/uk.csv", "", "the body was cut short*"},
      {"eu", "gzip-cut/eu.csv", "", "the gzip body is cut short"},
      {"un", "slow/un.xml", "", "no answer within 2 s"},
      {"un", "small/un.xml", "",
       "HTTP 200 but only 1 entries, fewer than the 3 a whole copy holds at least"},
      {"uk", "small/uk.csv", "",
       "HTTP 200 but only 1 entries, fewer than the 3 a whole copy holds at least"},
      {"un", "ok/uk.csv", "", "HTTP 200 but not the UN list (no CONSOLIDATED_LIST root)"},
      {"uk", "ok/un.xml", "",
       "HTTP 200 but not the UK Sanctions List (no header row naming Unique ID and Name 6)"},
      {"eu", "ok/ofac-sdn.csv", "",
       "HTTP 200 but not the EU consolidated list (no header row naming Entity_LogicalId and "
       "NameAlias_WholeName)"},
      {"ofac-sdn", "ok/ofac-alt.csv", "ok/ofac-alt.csv",
       "HTTP 200 but not OFAC's SDN.CSV (no 12-column rows)"},
      {"ofac-sdn", "ok/ofac-sdn.csv", "404/ofac-alt.csv", "ALT.CSV: HTTP 404"},
      {"icij", "ok/un.xml", "",
       "HTTP 200 but not the ICIJ Offshore Leaks archive (no zip directory)"},
  };
  for (const Row& row : ROWS) {
    SCOPED_TRACE(std::string(row.list) + " " + row.path + " " + row.alt_path);
    TempDir cache;
    const ListInfo& l = *find_list(row.list);
    ScopedEnv url(std::string(l.files[0].env).c_str(), server().url(row.path));
    ScopedEnv alt("Q9_SCREEN_URL_OFAC_ALT", server().url(*row.alt_path ? row.alt_path : "404/x"));
    const ListOutcome o = screen_one(row.list, cache.path());
    std::string want = row.reason;
    if (want.ends_with('*')) {
      want.pop_back();
      EXPECT_TRUE(o.reason.starts_with(want)) << o.reason;
    } else {
      EXPECT_EQ(o.reason, want);
    }
    EXPECT_EQ(o.screened, want.empty());
    // Only a list that was read whole is kept, and nothing half-written stays behind.
    for (const ListFile& f : l.files)
      EXPECT_EQ(fs::exists(cache / std::string(f.file)), want.empty());
    EXPECT_EQ(leftovers(cache.path()), std::vector<std::string>());
    if (o.screened) {
      ASSERT_EQ(o.results.size(), 1u);
      EXPECT_EQ(o.sha256.size(), l.files.size());
    }
  }
}

TEST(Download, AFailedRefreshNamesTheStaleCopyAndTheAgeThatWouldAcceptIt) {
  TempDir cache;
  fs::copy_file(FIXTURES / "un.xml", cache / "un.xml");
  fs::last_write_time(cache / "un.xml", fs::file_time_type::clock::now() - std::chrono::hours(30));
  ScopedEnv url("Q9_SCREEN_URL_UN", server().url("404/un.xml"));
  ListOutcome o = screen_one("un", cache.path());
  EXPECT_FALSE(o.screened);
  EXPECT_EQ(o.reason,
            "HTTP 404; the copy in the cache is 30 hours old (--max-age 31 would accept it)");
  // The failed download left the old copy as it was; the age that accepts it uses it.
  o = screen_one("un", cache.path(), Hours(31));
  EXPECT_TRUE(o.screened) << o.reason;
  ASSERT_EQ(o.results.at(0).full.size(), 1u);
  EXPECT_EQ(o.results[0].full[0].id, "KPi.077");
}

TEST(Download, ACopyInTheCacheIsUsedWithoutTheServerAndACutParsedFormIsMadeAgain) {
  TempDir cache;
  {
    ScopedEnv url("Q9_SCREEN_URL_UN", server().url("ok/un.xml"));
    EXPECT_TRUE(screen_one("un", cache.path()).screened);
  }
  ASSERT_TRUE(fs::exists(cache / "un.parsed"));
  // A parsed form cut short (a crash while it was written) is read again from the list.
  fs::resize_file(cache / "un.parsed", fs::file_size(cache / "un.parsed") - 40);
  ScopedEnv url("Q9_SCREEN_URL_UN", server().url("404/un.xml"));
  const ListOutcome again = screen_one("un", cache.path());
  EXPECT_TRUE(again.screened) << again.reason;
  EXPECT_EQ(again.entries, 3u);
  EXPECT_EQ(again.published, "2026-02-03T09:15:02.317Z");
  ASSERT_EQ(again.results.at(0).full.size(), 1u);
  EXPECT_EQ(again.results[0].full[0].names, (std::vector<std::string>{"HANS MÜLLER"}));
  EXPECT_TRUE(screen_one("un", cache.path()).screened);  // from the parsed form made again
}

TEST(Download, ScreensRunningAtOnceShareTheCache) {
  TempDir config;
  std::string command = "cd " + config.path().string() + " && for i in 1 2 3 4; do (";
  for (const ListInfo& l : all_lists()) {
    for (const ListFile& f : l.files) {
      command += std::string(f.env) + "=" + server().url("ok/" + std::string(f.file)) + " ";
    }
  }
  command +=
      "OPENCODE_CONFIG_DIR=" + config.path().string() +
      " " Q9_BINARY_DIR
      "/src/screen/lowfloor/q9-screen --json 'Nobody Atall' > out.$i; echo $? > status.$i) & "
      "done; wait";
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (int i = 1; i <= 4; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(test::read_text(config / ("status." + n)), "0\n")
        << test::read_text(config / ("out." + n));
  }
  EXPECT_EQ(leftovers(config / "agent/lists"), std::vector<std::string>());
}

}  // namespace
}  // namespace q9::screen
