// Tests of the no-replace rename, and of its locked form raced by processes.
#include "core/rename_no_replace.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "testing/support.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

TEST(RenameNoReplace, RenamesOnlyOntoAFreeName) {
  using Rename = int (*)(const fs::path&, const fs::path&);
  for (const Rename rename : {Rename{rename_no_replace}, Rename{rename_no_replace_locked}}) {
    test::TempDir tmp;
    const fs::path& dir = tmp.path();
    test::write_text(dir / "taken", "old");
    fs::create_symlink("nowhere", dir / "dangling");
    const std::pair<const char*, int> rows[] = {
        {"taken", EEXIST}, {"dangling", EEXIST}, {"free", 0}};
    test::write_text(dir / "new", "new");
    for (const auto& [to, err] : rows) EXPECT_EQ(rename(dir / "new", dir / to), err) << to;
    EXPECT_EQ(test::read_text(dir / "taken"), "old");
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    EXPECT_EQ(test::read_text(dir / "free"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
  }
}

// Processes, unlike threads, are not kept apart by the in-process mutex: only the file lock
// makes the test for the name and the rename one step among them.
TEST(RenameNoReplace, OfProcessesRacingForOneNameExactlyOneWins) {
  test::TempDir tmp;
  const fs::path& dir = tmp.path();
  constexpr int kRacers = 16;
  for (int round = 0; round < 20; ++round) {
    const fs::path to = dir / ("one" + std::to_string(round));
    std::vector<pid_t> racers;
    for (int i = 0; i < kRacers; ++i) {
      const fs::path from = dir / (std::to_string(round) + "-" + std::to_string(i));
      test::write_text(from, from.filename().string());
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) ::_exit(rename_no_replace_locked(from, to) == 0 ? 0 : 1);
      racers.push_back(pid);
    }
    int won = 0;
    for (const pid_t pid : racers) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      won += WEXITSTATUS(status) == 0;
    }
    EXPECT_EQ(won, 1) << "round " << round;
    // The winner's file is at `to`; every loser's is where it was.
    const std::string winner = test::read_text(to);
    EXPECT_TRUE(fs::exists(dir / winner) == false) << winner;
  }
  // 20 names, and the 15 losers of each round.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 20 * kRacers);
}

}  // namespace
}  // namespace q9::files
