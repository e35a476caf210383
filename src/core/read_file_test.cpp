// Tests of whole-file reads.
#include "core/read_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "core/atomic_write.hpp"
#include "testing/support.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

class ReadFileTest : public ::testing::Test {
 protected:
  static constexpr auto message_of = test::message_of<FileError>;
  test::TempDir tmp_;
  const fs::path& dir_ = tmp_.path();
};

TEST_F(ReadFileTest, HoldsTheWholeFile) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { write_file_atomic(fifo, std::string(100000, 'f')); });
  const struct {
    fs::path path;
    std::string bytes;
  } rows[] = {
      {dir_ / "empty", ""},
      {dir_ / "small.html", "<p>small</p>"},
      {dir_ / "large.html", std::string((1 << 20) + 3, 'x') + "Ã©"},
      {fifo, std::string(100000, 'f')},  // more than one buffer, from something without a size
  };
  for (const auto& row : rows) {
    if (row.path != fifo) test::write_text(row.path, row.bytes);
    EXPECT_EQ(FileBytes(row.path).bytes(), row.bytes) << row.path;
  }
  writer.join();
}

TEST_F(ReadFileTest, FailuresNameTheFileAndTheProblem) {
  EXPECT_EQ(message_of([&] { read_file(dir_ / "absent.json"); }),
            (dir_ / "absent.json").string() + ": No such file or directory");
  EXPECT_EQ(message_of([&] { read_file(dir_); }), dir_.string() + ": Is a directory");
  std::ofstream(dir_ / "bad.html") << "ok\n\xC3(";
  EXPECT_EQ(message_of([&] { read_utf8_file(dir_ / "bad.html"); }),
            (dir_ / "bad.html").string() + ": invalid UTF-8 at byte 3");
}

// A file cut short while it is read gives some other text than it ever held; that is an
// error, not a document (a JSON error at a column past the new end, or a dossier's tail).
TEST_F(ReadFileTest, AFileTruncatedWhileReadIsAnError) {
  const fs::path p = dir_ / "data.json";
  test::write_text(p, std::string(100000, 'a'));
  const Fd f(::open(p.c_str(), O_RDONLY));
  ASSERT_EQ(::truncate(p.c_str(), 5000), 0);  // after the size was taken
  EXPECT_EQ(message_of([&] { FileBytes(f.get(), p, 100000); }),
            p.string() + ": file truncated while being read");
}

// Inputs above the bound are refused without being read: a regular file by its size, an
// endless device once the bound is passed.
TEST_F(ReadFileTest, RefusesInputsAboveTheBound) {
  const fs::path sparse = dir_ / "huge.html";
  test::write_text(sparse, "");
  ASSERT_EQ(::truncate(sparse.c_str(), static_cast<off_t>(INPUT_LIMIT) + 1), 0);
  EXPECT_EQ(message_of([&] { FileBytes{sparse}; }), sparse.string() + ": file larger than 1 GiB");
  EXPECT_EQ(message_of([&] { FileBytes("/dev/zero", 1 << 20); }),
            "/dev/zero: file larger than 1048576 bytes");
  test::write_text(dir_ / "exact", "0123456789");
  EXPECT_EQ(FileBytes(dir_ / "exact", 10).bytes(), "0123456789");
}

}  // namespace
}  // namespace q9::files
