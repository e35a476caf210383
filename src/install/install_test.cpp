// In-process tests of writing the catalogue and of the text of paths; the command itself
// is run as a program by install_e2e_test.cpp.
#include "install/install.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "assets/assets.hpp"
#include "core/file_error.hpp"
#include "install/status_line.hpp"
#include "testing/support.hpp"

namespace q9::install {
namespace {
using test::read_text;
using test::TempDir;
using test::write_text;

TEST(WriteAssets, WritesEveryFileInCatalogueOrder) {
  TempDir tmp;
  const auto root = tmp / "new/parents/opencode";
  std::vector<std::string> written = write_assets(root);
  ASSERT_EQ(written.size(), assets::ASSETS.size());
  for (size_t i = 0; i < written.size(); ++i) {
    const assets::Asset& a = assets::ASSETS[i];
    EXPECT_EQ(written[i], (root / std::string(a.path)).string());
    EXPECT_EQ(read_text(written[i]), assets::decode_base64(a.base64).value()) << a.path;
  }
  // No temporary file is left beside the written ones.
  size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    files += e.is_regular_file();
  EXPECT_EQ(files, assets::ASSETS.size());
}

TEST(WriteAssets, RewritesEditedFilesAndLeavesOthersAlone) {
  TempDir tmp;
  std::vector<std::string> written = write_assets(tmp.path());
  write_text(written[0], "local edit\n");
  write_text(tmp / "agent/mine.md", "keep me\n");
  write_assets(tmp.path());
  EXPECT_EQ(read_text(written[0]), assets::decode_base64(assets::ASSETS[0].base64).value());
  EXPECT_EQ(read_text(tmp / "agent/mine.md"), "keep me\n");
}

TEST(WriteAssets, FailureNamesThePathAndStopsThere) {
  TempDir tmp;
  write_text(tmp / "cfg/command", "a file where a folder belongs\n");
  try {
    write_assets(tmp / "cfg");
    FAIL() << "no error";
  } catch (const files::FileError& e) {
    EXPECT_EQ(std::string(e.what()), (tmp / "cfg/command").string() + ": Not a directory");
  }
  EXPECT_TRUE(std::filesystem::exists(tmp / "cfg/agent/varnook-q9-agent.md"));
  EXPECT_FALSE(std::filesystem::exists(tmp / "cfg/skills"));
}

// The configuration files share q9's writer: a file linked to a device stays linked.
TEST(WriteAssets, WritesThroughALinkToADeviceAndKeepsIt) {
  TempDir tmp;
  const auto first = tmp / "cfg" / std::string(assets::ASSETS[0].path);
  std::filesystem::create_directories(first.parent_path());
  if (::mknod((tmp / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      ::mknod((tmp / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    if (std::getenv("CI")) FAIL() << "mknod: " << std::strerror(errno);
    GTEST_SKIP() << "cannot make device nodes here (needs root): " << std::strerror(errno);
  }
  std::filesystem::create_symlink(tmp / "null", first);
  EXPECT_EQ(write_assets(tmp / "cfg").size(), assets::ASSETS.size());
  EXPECT_TRUE(std::filesystem::is_symlink(first));
  EXPECT_TRUE(std::filesystem::is_character_file(first));

  std::filesystem::remove(first);
  std::filesystem::create_symlink(tmp / "full", first);
  try {
    write_assets(tmp / "cfg");
    FAIL() << "no error";
  } catch (const files::FileError& e) {
    EXPECT_EQ(std::string(e.what()), first.string() + ": No space left on device");
  }
  EXPECT_TRUE(std::filesystem::is_character_file(tmp / "full"));
}

TEST(StatusLine, DrawnAfterTwoSecondsRedrawnEachSecondAndErased) {
  const auto at = [](double seconds) {
    return StatusLine::Clock::time_point() +
           std::chrono::duration_cast<StatusLine::Clock::duration>(
               std::chrono::duration<double>(seconds));
  };
  const std::string BURROWBY = "installing burrowby", PROBE = "checking q9";
  struct Call {
    std::string step;  // "" for clear()
    double at;
    std::string drawn;
  } calls[] = {
      {BURROWBY, 10, ""},  // the step's time starts
      {BURROWBY, 12, ""},
      {BURROWBY, 12.01, "\r.. installing burrowby (0:02)"},
      {BURROWBY, 12.9, ""},
      {BURROWBY, 13, "\r.. installing burrowby (0:03)"},
      {BURROWBY, 610.5, "\r.. installing burrowby (10:00)"},
      {PROBE, 611, "\r" + std::string(30, ' ') + "\r"},  // another step, its own time
      {PROBE, 613.5, "\r.. checking q9 (0:02)"},
      {"", 614, "\r" + std::string(21, ' ') + "\r"},
      {"", 615, ""},
      {PROBE, 616, ""},  // after clear() the step starts anew
  };
  std::ostringstream term;
  Out out(term);
  StatusLine line(&out);
  for (const Call& c : calls) {
    term.str("");
    if (c.step.empty()) {
      line.clear();
    } else {
      line.waiting(c.step, at(c.at));
    }
    EXPECT_EQ(term.str(), c.drawn) << c.step << " at " << c.at;
  }
}

}  // namespace
}  // namespace q9::install
