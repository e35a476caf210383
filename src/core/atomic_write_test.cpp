// Tests of the atomic replacement of files and of the writes into what cannot be replaced.
#include "core/atomic_write.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "core/platform.hpp"
#include "core/read_file.hpp"
#include "testing/support.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

class AtomicWriteTest : public ::testing::Test {
 protected:
  static constexpr auto message_of = test::message_of<FileError>;
  test::TempDir tmp_;
  const fs::path& dir_ = tmp_.path();
};

TEST_F(AtomicWriteTest, ReplacesContentAndLeavesNoTemporaryFile) {
  fs::path p = dir_ / "out.html";
  write_file_atomic(p, "first version, longer");
  write_file_atomic(p, "second");
  { AtomicWrite abandoned(p, "not committed"); }
  EXPECT_EQ(read_file(p), "second");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(AtomicWriteTest, AMissingFolderIsAnErrorNamingTheFile) {
  const fs::path missing_dir = dir_ / "nope" / "out.html";
  EXPECT_EQ(message_of([&] { write_file_atomic(missing_dir, "x"); }),
            missing_dir.string() + ": No such file or directory");
  EXPECT_FALSE(fs::exists(dir_ / "nope"));
}

TEST_F(AtomicWriteTest, FollowsASymbolicLinkSoItKeepsPointingAtTheNewFile) {
  fs::create_directory(dir_ / "real");
  fs::path target = dir_ / "real" / "dossier.html";
  write_file_atomic(target, "old");
  fs::create_symlink("real/dossier.html", dir_ / "link.html");
  write_file_atomic(dir_ / "link.html", "new");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.html"));
  EXPECT_EQ(read_file(target), "new");
}

TEST_F(AtomicWriteTest, NewFileTakesTheUmaskAndAReplacedFileKeepsItsMode) {
  auto mode = [](const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  fs::path p = dir_ / "script.sh";
  const mode_t old_mask = ::umask(027);
  write_file_atomic(p, "a");
  ::umask(old_mask);
  EXPECT_EQ(mode(p), 0640u);
  ::chmod(p.c_str(), 0750);
  write_file_atomic(p, "b");
  EXPECT_EQ(mode(p), 0750u);
}

// Device nodes, FIFOs and sockets at the path are written into, never replaced.
TEST_F(AtomicWriteTest, WritesIntoSpecialFilesInsteadOfReplacingThem) {
  if (::mknod((dir_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    if (std::getenv("CI")) FAIL() << "mknod: " << std::strerror(errno);
    GTEST_SKIP() << "cannot make device nodes here (needs root): " << std::strerror(errno);
  }
  ASSERT_EQ(::mknod((dir_ / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
  fs::create_symlink("null", dir_ / "link");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (dir_ / "sock").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  write_file_atomic(dir_ / "null", "dossier");
  write_file_atomic(dir_ / "link", "dossier");
  EXPECT_EQ(message_of([&] { write_file_atomic(dir_ / "full", "dossier"); }),
            (dir_ / "full").string() + ": No space left on device");
  EXPECT_EQ(message_of([&] { write_file_atomic(dir_ / "sock", "dossier"); }),
            (dir_ / "sock").string() + ": No such device or address");
  EXPECT_EQ(message_of([&] { write_file_atomic(dir_, "dossier"); }),
            dir_.string() + ": Is a directory");
  ::close(sock);
  EXPECT_TRUE(fs::is_character_file(dir_ / "null"));
  EXPECT_TRUE(fs::is_character_file(dir_ / "full"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_TRUE(fs::is_socket(dir_ / "sock"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 4);
}

TEST_F(AtomicWriteTest, WritesIntoAFifoAndReportsAReaderThatLeft) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big(1 << 20, 'x');  // more than a pipe holds
  std::string got;
  std::thread reader([&] { got = read_file(fifo); });
  write_file_atomic(fifo, big);
  reader.join();
  EXPECT_EQ(got, big);

  std::thread leaver([&] { ::close(::open(fifo.c_str(), O_RDONLY)); });
  EXPECT_EQ(message_of([&] { write_file_atomic(fifo, big); }), fifo.string() + ": Broken pipe");
  leaver.join();
  EXPECT_TRUE(fs::is_fifo(fifo));
}

// A path that resolves to a descriptor the process has open (its standard output, say) is
// written through it: where that descriptor appends (a shell's ">>"), the file keeps what
// it held, and it stays the same file.
TEST_F(AtomicWriteTest, WritesThroughAnOpenDescriptorInsteadOfReplacingItsFile) {
  const fs::path log = dir_ / "log";
  test::write_text(log, "earlier lines\n");
  struct stat before {};
  ASSERT_EQ(::stat(log.c_str(), &before), 0);
  const Fd appending(::open(log.c_str(), O_WRONLY | O_APPEND));
  const std::string fd = std::to_string(appending.get());
  for (const std::string& path : {"/dev/fd/" + fd, "/proc/self/fd/" + fd}) {
    if (!fs::exists(path)) continue;  // no /proc
    write_file_atomic(path, path + "\n");
  }
  std::string expected = "earlier lines\n/dev/fd/" + fd + "\n";
  if (fs::exists("/proc/self/fd")) expected += "/proc/self/fd/" + fd + "\n";
  EXPECT_EQ(test::read_text(log), expected);
  struct stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, before.st_ino);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// Temporary files that a killed process left are removed by the next write to the folder
// once they are a day old; other files, and a temporary file still being written, stay.
TEST_F(AtomicWriteTest, RemovesStaleTemporaryFilesOfItsOwnNaming) {
  const struct {
    const char* name;
    bool old;
    bool stays;
  } rows[] = {
      {".out.html.tmp-Ab3xY9", true, false},
      {".other.json.tmp-000000", true, false},
      {".out.html.tmp-Ab3xY9z", true, true},  // seven letters: not ours
      {".out.html.tmp-Ab3-Y9", true, true},
      {"out.html.tmp-Ab3xY9", true, true},    // no leading dot
      {".out.html.tmp-QQQQQQ", false, true},  // written just now
      {"notes.txt", true, true},
  };
  for (const auto& row : rows) {
    test::write_text(dir_ / row.name, "x");
    if (row.old) {
      const timeval two_days_ago[2] = {{::time(nullptr) - 2 * 86400, 0},
                                       {::time(nullptr) - 2 * 86400, 0}};
      ASSERT_EQ(::utimes((dir_ / row.name).c_str(), two_days_ago), 0);
    }
  }
  write_file_atomic(dir_ / "out.html", "new");
  for (const auto& row : rows) EXPECT_EQ(fs::exists(dir_ / row.name), row.stays) << row.name;
}

// SIGINT, SIGTERM and SIGHUP remove the temporary file being written, then end the process
// as they would have; a signal the process ignores stays ignored.
TEST_F(AtomicWriteTest, AnEndingSignalRemovesTheTemporaryFile) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const fs::path out = dir_ / ("out" + std::to_string(sig) + ".html");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (remove_temp_files_on_signals() != 0) ::_exit(3);
      AtomicWrite pending(out, "being written");
      ::raise(sig);
      ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 0);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGHUP, SIG_IGN);
    if (remove_temp_files_on_signals() != 0) ::_exit(3);
    ::raise(SIGHUP);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A Q9_POSIX_ONLY build runs every stand-in; a Linux build with glibc has every call.
TEST(Platform, ChecksMatchTheBuild) {
  for (const platform::Check& check : platform::CHECKS) {
#if defined(Q9_POSIX_ONLY)
    EXPECT_FALSE(check.on) << check.name;
#elif defined(__linux__) && defined(__GLIBC__)
    EXPECT_TRUE(check.on) << check.name;
#endif
  }
}

}  // namespace
}  // namespace q9::files
