// In-process tests of the installer: writing the catalogue, the text of paths, and runs
// of the command whose children hang past short limits.
#include "install/install.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "assets/assets.hpp"
#include "core/files.hpp"
#include "install/test_support.hpp"

namespace q9::install {
namespace {
using namespace std::chrono_literals;
using testing::fake_program;
using testing::read_text;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_text;

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
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) files += e.is_regular_file();
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

TEST(PathText, DropsEmptyAndDotComponents) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"/tmp/x/", "/tmp/x"},     {"/tmp//x/./y", "/tmp/x/y"}, {"rel/./a", "rel/a"},
      {"./", "."},               {"", "."},                   {"//net/x", "//net/x"},
      {"///x", "/x"},            {"/", "/"},                  {"a/../b", "a/../b"},
      {"~user/x", "~user/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(path_text(c.in), c.out) << c.in;
}

// A run of the command in this process, with fake programs on PATH.
struct MainRun {
  int status;
  std::string out, err, started;
};

MainRun run_main(const std::map<std::string, std::string>& programs,
             const std::vector<std::string>& args, const Limits& limits) {
  TempDir tmp;
  std::filesystem::create_directories(tmp / "bin");
  for (const auto& [name, body] : programs) fake_program(tmp / "bin", name, body);
  ScopedEnv path("PATH", (tmp / "bin").string());
  ScopedEnv log("Q9_FAKE_LOG", (tmp / "log").string());
  ScopedEnv cfg("OPENCODE_CONFIG_DIR", (tmp / "cfg").string());
  std::ostringstream out, err;
  Io io{out, err};
  int status = main(args, io, limits);
  return {status, out.str(), err.str(), read_text(tmp / "log")};
}

TEST(InstallerMain, ChildrenThatHangCountAsFailures) {
  const Limits limits{300ms, 300ms, 300ms};
  const std::string HANG = "exec sleep 30";
  struct Case {
    const char* what;
    std::map<std::string, std::string> programs;
    int status;
    std::vector<std::string> said, warned;
  } cases[] = {
      {"pipx hangs on burrowby, pip installs it, q9 hangs on version",
       {{"pipx", HANG}, {"python3", "exit 0"}, {"q9", HANG}},
       0,
       {"installed burrowby", "done - restart opencode, then run: /varnook-q9 <company>"},
       {}},
      {"both installers hang, q9 answers",
       {{"pipx", HANG}, {"python3", HANG}, {"q9", "echo q9infra 1.1.1"}},
       1,
       {"q9 ready: q9infra 1.1.1"},
       {"burrowby not installed - retry with: pipx install burrowby"}},
      {"persistent install hangs",
       {{"burrowby", "exit 0"}, {"pipx", HANG}},
       1,
       {"burrowby present"},
       {"could not install persistently - retry: pipx install varnook-q9"}},
  };
  for (const Case& c : cases) {
    MainRun r = run_main(c.programs, {"--verbose"}, limits);
    std::string out = "== Varnook Q9 installer (q9infra 1.1.1)\n";
    EXPECT_TRUE(r.out.starts_with(out)) << c.what;
    std::string tail, err;
    for (const std::string& s : c.said) tail += "== " + s + "\n";
    for (const std::string& s : c.warned) err += "!! " + s + "\n";
    EXPECT_TRUE(r.out.ends_with("== wrote 12 config files (agent, command, skill)\n" + tail))
        << c.what << "\n" << r.out;
    EXPECT_EQ(r.err, err) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what;
  }
}

}  // namespace
}  // namespace q9::install
