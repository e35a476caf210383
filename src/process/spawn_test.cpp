// Tests of the executable look-up and the child-process runner.
#include "process/spawn.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "testing/support.hpp"

namespace q9::process {
namespace {
using namespace std::chrono_literals;
using test::alive;
using test::fake_program;
using test::ScopedEnv;
using test::TempDir;
using test::write_text;

RunResult sh(const std::string& script, std::chrono::milliseconds limit = 10s) {
  return run("/bin/sh", {"sh", "-c", script}, limit);
}

TEST(FindExecutable, SearchesPathInOrder) {
  TempDir tmp;
  write_text(tmp / "a/tool", "#!/bin/sh\n");  // not executable: skipped
  fake_program(tmp / "b", "tool", "");
  fake_program(tmp / "c", "tool", "");
  std::filesystem::create_directories(tmp / "d/dironly");
  fake_program(tmp / "e", "dironly", "");
  std::string path = (tmp / "a").string() + ":" + (tmp / "b").string() + ":" +
                     (tmp / "c").string() + ":" + (tmp / "d").string() + ":" + (tmp / "e").string();
  ScopedEnv env("PATH", path);
  struct Case {
    std::string name;
    std::optional<std::filesystem::path> found;
  } cases[] = {
      {"tool", tmp / "b/tool"},
      {"dironly", tmp / "e/dironly"},
      {"missing", std::nullopt},
      {"", std::nullopt},
      {(tmp / "c/tool").string(), tmp / "c/tool"},  // a directory part: tested directly
      {(tmp / "a/tool").string(), std::nullopt},
      {(tmp / "d/dironly").string(), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(find_executable(c.name), c.found) << c.name;
}

TEST(FindExecutable, EmptyPathFindsNothingAndEmptyEntryIsCurrentDirectory) {
  TempDir tmp;
  fake_program(tmp.path(), "tool", "");
  {
    ScopedEnv env("PATH", "");
    EXPECT_EQ(find_executable("tool"), std::nullopt);
    EXPECT_EQ(find_executable("sh"), std::nullopt);
  }
  auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp.path());
  {
    ScopedEnv env("PATH", "/nonexistent::");
    EXPECT_EQ(find_executable("tool"), std::filesystem::path("tool"));
  }
  std::filesystem::current_path(cwd);
  ScopedEnv unset("PATH", std::nullopt);
  EXPECT_TRUE(find_executable("sh"));  // the system's default path
}

TEST(Run, ReportsStatusAndCollectsBothStreams) {
  struct Case {
    std::string script;
    int status;
    std::string out, err;
  } cases[] = {
      {"echo out; echo err >&2; exit 3", 3, "out\n", "err\n"},
      {"printf 'x'", 0, "x", ""},
      {"kill -9 $$", -SIGKILL, "", ""},
      {"cat; echo end", 0, "end\n", ""},  // standard input is empty, not the caller's
  };
  for (const Case& c : cases) {
    RunResult r = sh(c.script);
    EXPECT_EQ(r.status, c.status) << c.script;
    EXPECT_EQ(r.out, c.out) << c.script;
    EXPECT_EQ(r.err, c.err) << c.script;
  }
}

TEST(Run, ChildStartsWithNoSignalBlocked) {
  // Not through sh, which clears its mask itself; the runner holds signals back while it
  // starts the child.
  if (!Q9_HAVE_PROC) GTEST_SKIP() << "the child's signal mask is read from /proc";
  RunResult r = run("/bin/grep", {"grep", "^SigBlk", "/proc/self/status"}, 10s);
  EXPECT_EQ(r.out, "SigBlk:\t0000000000000000\n");
}

TEST(Run, LargeOutputOnBothStreamsDoesNotDeadlock) {
  RunResult r =
      sh("head -c 10000000 /dev/zero; head -c 3000000 /dev/zero >&2; "
         "head -c 5 /dev/zero");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 10000005u);
  EXPECT_EQ(r.err.size(), 3000000u);
}

TEST(Run, PassesTheArgumentVectorWithoutAShell) {
  if (!Q9_HAVE_PROC) GTEST_SKIP() << "the child's argument vector is read from /proc";
  RunResult r =
      run("/bin/sh",
          {"name-zero", "-c", "tr '\\0' '|' < /proc/$$/cmdline; printf '[%s]' \"$0\" \"$@\"", "a b",
           "$HOME", "*"},
          10s);
  EXPECT_TRUE(r.out.starts_with("name-zero|-c|")) << r.out;
  EXPECT_TRUE(r.out.ends_with("|a b|$HOME|*|[a b][$HOME][*]")) << r.out;
}

TEST(Run, StartFailuresAreOperatingSystemErrors) {
  TempDir tmp;
  write_text(tmp / "plain", "#!/bin/sh\n");
  struct Case {
    std::filesystem::path program;
    int code;
  } cases[] = {{tmp / "missing", ENOENT}, {tmp / "plain", EACCES}};
  for (const Case& c : cases) {
    try {
      run(c.program, {"x"}, 10s);
      ADD_FAILURE() << c.program << " started";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), c.code) << c.program;
    }
  }
}

TEST(Run, TimeOutKillsTheChildAndEverythingItStarted) {
  TempDir tmp;
  const std::string pidfile = (tmp / "pid").string();
  std::string grandchild;
  try {
    // The grandchild holds the output pipes too, and ignores the polite signals. Waiting
    // for its pid holds the limit back until it runs.
    run("/bin/sh",
        {"sh", "-c", "trap '' TERM INT HUP; sleep 30 & echo $! > " + pidfile + "; sleep 30"}, 300ms,
        [&] {
          if (grandchild.empty()) grandchild = test::wait_for_line(pidfile);
        });
    FAIL() << "no time-out";
  } catch (const TimeoutError& e) {
    EXPECT_EQ(std::string(e.what()), "/bin/sh timed out after 0.3 seconds");
  }
  ASSERT_FALSE(grandchild.empty());
  EXPECT_TRUE(test::eventually([&] { return !alive(grandchild); }))
      << "grandchild " << grandchild << " survived";
}

TEST(Run, TimeOutIsAChildProcessError) { EXPECT_THROW(sh("exec sleep 30", 50ms), ChildError); }

// Were the pipes waited for, the limit would end the run with a time-out.
TEST(Run, DoesNotWaitForAGrandchildThatKeepsThePipesOpen) {
  RunResult r = sh("sleep 30 & echo $!; exit 4", 20s);
  EXPECT_EQ(r.status, 4);
  ASSERT_TRUE(r.out.ends_with("\n")) << r.out;
  ::kill(std::stoi(r.out), SIGKILL);
}

TEST(Run, ChildThatClosesItsPipesIsStillWaitedFor) {
  RunResult r = sh("exec >&- 2>&-; sleep 0.2; exit 7");
  EXPECT_EQ(r.status, 7);
}

}  // namespace
}  // namespace q9::process
