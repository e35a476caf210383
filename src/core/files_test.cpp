// Tests of whole-file reads and atomic replacement.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "core/files.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "q9-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string message_of(const std::function<void()>& f) {
    try {
      f();
    } catch (const FileError& e) {
      return e.what();
    }
    return "no error";
  }
  fs::path dir_;
};

TEST_F(FilesTest, ReplacesContentAndLeavesNoTemporaryFile) {
  fs::path p = dir_ / "out.html";
  write_file_atomic(p, "first version, longer");
  write_file_atomic(p, "second");
  EXPECT_EQ(read_file(p), "second");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(FilesTest, FollowsASymbolicLinkSoItKeepsPointingAtTheNewFile) {
  fs::create_directory(dir_ / "real");
  fs::path target = dir_ / "real" / "dossier.html";
  write_file_atomic(target, "old");
  fs::create_symlink("real/dossier.html", dir_ / "link.html");
  write_file_atomic(dir_ / "link.html", "new");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.html"));
  EXPECT_EQ(read_file(target), "new");
}

TEST_F(FilesTest, KeepsTheModeOfTheFileItReplaces) {
  fs::path p = dir_ / "script.sh";
  write_file_atomic(p, "a");
  ::chmod(p.c_str(), 0750);
  write_file_atomic(p, "b");
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

TEST_F(FilesTest, FailuresNameTheFileAndTheProblem) {
  fs::path missing_dir = dir_ / "nope" / "out.html";
  EXPECT_EQ(message_of([&] { write_file_atomic(missing_dir, "x"); }),
            missing_dir.string() + ": No such file or directory");
  EXPECT_FALSE(fs::exists(dir_ / "nope"));
  EXPECT_EQ(message_of([&] { read_file(dir_ / "absent.json"); }),
            (dir_ / "absent.json").string() + ": No such file or directory");
  EXPECT_EQ(message_of([&] { read_file(dir_); }), dir_.string() + ": Is a directory");
  std::ofstream(dir_ / "bad.html") << "ok\n\xC3(";
  EXPECT_EQ(message_of([&] { read_utf8_file(dir_ / "bad.html"); }),
            (dir_ / "bad.html").string() + ": invalid UTF-8 at byte 3");
}

}  // namespace
}  // namespace q9::files
