// Tests of whole-file reads and atomic replacement.
#include "core/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "core/platform.hpp"
#include "testing/support.hpp"

namespace q9::files {
namespace fs = std::filesystem;
namespace {

class FilesTest : public ::testing::Test {
 protected:
  static constexpr auto message_of = test::message_of<FileError>;
  test::TempDir tmp_;
  const fs::path& dir_ = tmp_.path();
};

TEST_F(FilesTest, ReplacesContentAndLeavesNoTemporaryFile) {
  fs::path p = dir_ / "out.html";
  write_file_atomic(p, "first version, longer");
  write_file_atomic(p, "second");
  { AtomicWrite abandoned(p, "not committed"); }
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

TEST_F(FilesTest, NewFileTakesTheUmaskAndAReplacedFileKeepsItsMode) {
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

// Large regular files are mapped, the rest read; either way zeros follow the bytes.
TEST_F(FilesTest, ViewsHoldTheWholeFile) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { write_file_atomic(fifo, "from a pipe"); });
  const struct {
    fs::path path;
    std::string bytes;
  } rows[] = {
      {dir_ / "empty", ""},
      {dir_ / "small.html", "<p>small</p>"},
      {dir_ / "page.html", std::string(64 << 10, 'p')},
      {dir_ / "large.html", std::string((1 << 20) + 3, 'x') + "Ã©"},
      {fifo, "from a pipe"},
  };
  for (const auto& row : rows) {
    if (row.path != fifo) write_file_atomic(row.path, row.bytes);
    const FileView view(row.path);
    EXPECT_EQ(view.bytes(), row.bytes) << row.path;
    EXPECT_EQ(view.bytes().data()[row.bytes.size()], '\0') << row.path;
    view.check_intact();
  }
  writer.join();
  EXPECT_EQ(message_of([&] { FileView{dir_}; }), dir_.string() + ": Is a directory");
}

// A mapped file cut short under the reader reads as zeros instead of raising SIGBUS, and
// the view says so afterwards; a SIGBUS that is not a mapped file's still ends the process.
TEST_F(FilesTest, AFileTruncatedWhileMappedIsAnErrorNotACrash) {
  const fs::path p = dir_ / "big.html";
  for (const off_t cut : {off_t{0}, off_t{100 << 10}, off_t{(1 << 20) - 10}}) {
    write_file_atomic(p, std::string(1 << 20, 'a'));
    const FileView view(p);
    ASSERT_EQ(::truncate(p.c_str(), cut), 0);
    size_t as = 0;
    for (char c : view.bytes()) as += c == 'a';
    EXPECT_EQ(as, static_cast<size_t>(cut)) << cut;
    EXPECT_EQ(message_of([&] { view.check_intact(); }),
              p.string() + ": file truncated while being read")
        << cut;
  }
  EXPECT_EXIT(
      {
        ::raise(SIGBUS);
        std::exit(0);
      },
      [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; }, "");
}

// Device nodes, FIFOs and sockets at the path are written into, never replaced.
TEST_F(FilesTest, WritesIntoSpecialFilesInsteadOfReplacingThem) {
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

TEST_F(FilesTest, WritesIntoAFifoAndReportsAReaderThatLeft) {
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

TEST_F(FilesTest, RenamesOnlyOntoAFreeName) {
  test::write_text(dir_ / "taken", "old");
  fs::create_symlink("nowhere", dir_ / "dangling");
  const std::pair<const char*, int> rows[] = {{"taken", EEXIST}, {"dangling", EEXIST}, {"free", 0}};
  test::write_text(dir_ / "new", "new");
  for (const auto& [to, err] : rows) {
    EXPECT_EQ(rename_no_replace(dir_ / "new", dir_ / to), err) << to;
  }
  EXPECT_EQ(read_file(dir_ / "taken"), "old");
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
  EXPECT_EQ(read_file(dir_ / "free"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);

  // Of renames onto one name at the same time, exactly one wins.
  std::vector<std::thread> racers;
  std::atomic<int> won{0};
  for (int i = 0; i < 8; ++i) {
    test::write_text(dir_ / std::to_string(i), std::to_string(i));
    racers.emplace_back(
        [&, i] { won += rename_no_replace(dir_ / std::to_string(i), dir_ / "one") == 0; });
  }
  for (std::thread& t : racers) t.join();
  EXPECT_EQ(won, 1);
}

// A Q9_POSIX_ONLY build runs every stand-in; a Linux build with glibc has every call (but the
// one newer than some kernel headers).
TEST(Platform, ChecksMatchTheBuild) {
  for (const platform::Check& check : platform::CHECKS) {
#if defined(Q9_POSIX_ONLY)
    EXPECT_FALSE(check.on) << check.name;
#elif defined(__linux__) && defined(__GLIBC__)
    if (std::string_view(check.name) != "Q9_HAVE_POPULATE_WRITE") {
      EXPECT_TRUE(check.on) << check.name;
    }
#endif
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define Q9_OWN_MALLOC 0  // the sanitizer's allocator, which keeps freed blocks aside
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define Q9_OWN_MALLOC 0
#endif
#ifndef Q9_OWN_MALLOC
#define Q9_OWN_MALLOC 1
#endif

#if Q9_HAVE_MALLOPT && Q9_HAVE_HUGEPAGE && Q9_HAVE_PROC && Q9_OWN_MALLOC
// The heap a report is built in is marked for huge pages ("hg" among the mapping's flags).
TEST(ReserveHeap, MarksTheHeapTheNextBuffersComeFrom) {
  if (access("/sys/kernel/mm/transparent_hugepage", F_OK) != 0) {
    GTEST_SKIP() << "this kernel has no transparent huge pages";
  }
  tune_heap();
  reserve_heap(16u << 20);
  std::string buffer(12u << 20, 'x');
  const auto at = reinterpret_cast<uintptr_t>(buffer.data()) + (6u << 20);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  std::string line, flags;
  while (std::getline(smaps, line)) {
    unsigned long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) inside = from <= at && at < to;
    if (inside && line.starts_with("VmFlags:")) flags = line;
  }
  EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
}
#endif

TEST(NormalPathText, DropsEmptyAndDotComponents) {
  const std::pair<std::string, std::string> cases[] = {
      {"./out//acme.html", "out/acme.html"},
      {"out/", "out"},
      {"rel/./a", "rel/a"},
      {".", "."},
      {"", "."},
      {"./", "."},
      {"/a/./b/", "/a/b"},
      {"/tmp//x/./y", "/tmp/x/y"},
      {"//a", "//a"},
      {"///a//", "/a"},
      {"/", "/"},
      {"a/../b", "a/../b"},
      {"<memory>", "<memory>"},
      {"~user/x", "~user/x"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normal_path_text(in), out) << in;
}

}  // namespace
}  // namespace q9::files
