// q9 report, in process through its handler and end to end through the q9 program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/commands.hpp"
#include "core/json.hpp"
#include "core/read_file.hpp"
#include "report/render.hpp"
#include "testing/support.hpp"
#include "validate/validate.hpp"

namespace q9::cli {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::write_text;

using Outcome = test::Ran;

// Runs the handler as `q9 report DATA [--out OUT]` would; errors propagate.
Outcome report(const fs::path& data, std::optional<std::string> out = std::nullopt) {
  Args args;
  args.cmd = "report";
  args.data = data.string();
  args.out = std::move(out);
  std::ostringstream o, e;
  Io io{o, e};
  int status = _cmd_report(args, io);
  return {status, o.str(), e.str()};
}

const char* kRounded =
    R"({"company": "Acme", "sections": [{"id": "risk", "title": "Risk",
        "body_html": "<div style=\"border-radius:4px\">x</div>"}]})";

class ReportCommandTest : public ::testing::Test {
 protected:
  fs::path file(const std::string& name, std::string_view bytes) {
    fs::path p = dir_.path() / name;
    write_text(p, bytes);
    return p;
  }
  test::TempDir dir_;
};

TEST_F(ReportCommandTest, WithoutOutPrintsTheDocumentAndChecksNothing) {
  fs::path data = file("data.json", kRounded);  // would fail the gate
  const std::string doc = report::render(json::parse(kRounded));
  for (std::optional<std::string> out :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    Outcome r = report(data, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, doc + "\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(fs::directory_iterator(dir_.path())->path(), data);  // nothing else written
}

TEST_F(ReportCommandTest, OutWritesThenGatesAndReplacesWholeFiles) {
  const std::string out = (dir_.path() / "out.html").string();
  write_text(out, std::string(100000, 'z'));  // a longer file that must not survive in part
  // The bare document has only the overview section: a warning, which is not printed.
  Outcome r = report(file("empty.json", "{}"), out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "wrote " + out + " (7 KB) | gate: PASS\n");
  EXPECT_EQ(read_text(out), report::render(json::Object{}));

  // A failing gate prints its errors and leaves the file; a second run gives the same bytes.
  fs::path rounded = file("rounded.json", kRounded);
  for (int run = 0; run < 2; ++run) {
    r = report(rounded, out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "wrote " + out + " (7 KB) | gate: FAIL\n  - rounded corners (1): ['4px']\n");
    EXPECT_EQ(read_text(out), report::render(json::parse(kRounded)));
  }
}

TEST_F(ReportCommandTest, SizeFigureCountsCharactersNotBytes) {
  // 9061 characters, 10263 bytes: 8 KB by characters, 10 by bytes.
  std::string body;
  for (int i = 0; i < 1200; ++i) body += "\u00e9";
  fs::path data = file(
      "data.json", R"({"sections": [{"id": "a", "title": "A", "body_html": ")" + body + "\"}]}");
  const std::string out = (dir_.path() / "out.html").string();
  Outcome r = report(data, out);
  EXPECT_EQ(r.out.substr(0, r.out.find('|')), "wrote " + out + " (8 KB) ");
  EXPECT_EQ(fs::file_size(out), 10263u);
}

TEST_F(ReportCommandTest, SymlinkedOutputKeepsTheLink) {
  fs::path target = dir_.path() / "real.html";
  write_text(target, "old");
  fs::path link = dir_.path() / "link.html";
  fs::create_symlink(target, link);
  report(file("data.json", "{}"), link.string());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_text(target), report::render(json::Object{}));
}

TEST_F(ReportCommandTest, FailuresWriteAndPrintNothing) {
  struct Case {
    const char* name;
    std::string bytes;  // empty: the data file does not exist
    std::string out;    // relative to the temporary directory
    std::string message;
  } cases[] = {
      {"missing.json", "", "out.html", "missing.json: No such file or directory"},
      {"bom.json", "\xef\xbb\xbf{}", "out.html", "bom.json: line 1 column 1:"},
      {"array.json", "[1, 2]", "out.html", "array.json: report data: expected object, found array"},
      {"nosection.json", R"({"sections": [{"id": "a"}]})", "out.html",
       "nosection.json: sections[0]: missing key 'title'"},
      {"ok.json", "{}", "no/such/dir/out.html", "no/such/dir/out.html: No such file or directory"},
  };
  for (const auto& c : cases) {
    fs::path data = dir_.path() / c.name;
    if (!c.bytes.empty()) write_text(data, c.bytes);
    fs::path out = dir_.path() / c.out;
    try {
      report(data, out.string());
      ADD_FAILURE() << c.name << ": no error";
    } catch (const std::exception& e) {
      std::string what = e.what();
      // Messages name the file as given; compare from its base name on.
      std::string tail = what.substr(std::min(what.size(), dir_.path().string().size() + 1));
      EXPECT_EQ(tail.substr(0, c.message.size()), c.message) << what;
    }
    EXPECT_FALSE(fs::exists(out)) << c.name;
  }
}

// Standard output takes small and large texts through one buffer, in order.
TEST(OutTest, DescriptorGetsEveryByteInOrder) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::string got;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;) got.append(chunk, n);
  });
  const std::string large(100 << 10, 'L'), larger(200 << 10, 'M');
  {
    Out out(pipe_fds[1], true);
    out << "a" << large << 'b' << 42 << size_t{7} << larger << std::string_view("z");
    out.flush();
    EXPECT_EQ(out.error(), 0);
  }
  ::close(pipe_fds[1]);
  reader.join();
  ::close(pipe_fds[0]);
  EXPECT_EQ(got, "a" + large + "b427" + larger + "z");
}

TEST_F(ReportCommandTest, ExampleDossierPassesTheGateCleanly) {
  const fs::path data = fs::path(Q9_SOURCE_DIR) / "examples" / "northwind-dossier.json";
  const std::string out = (dir_.path() / "northwind.html").string();
  Outcome r = report(data, out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "wrote " + out + " (34 KB) | gate: PASS\n");
  const std::string doc = read_text(out);
  EXPECT_EQ(doc, read_text(fs::path(Q9_SOURCE_DIR) / "examples" / "northwind-dossier.html"));
  validate::Report gate = validate::validate_text(doc, out);
  EXPECT_EQ(gate.errors, std::vector<std::string>{});
  EXPECT_EQ(gate.warnings, std::vector<std::string>{});
  EXPECT_EQ(gate.stats->sections, 18);
}

// The real program: exit statuses and where each output goes. Standard output goes to
// `stdout_to` when given, else it is captured.
test::Ran q9(const std::vector<std::string>& arguments, const std::string& stdout_to = "") {
  std::vector<std::string> argv = {Q9_BINARY_DIR "/src/cli/q9"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return test::run_program(argv, stdout_to);
}

TEST_F(ReportCommandTest, ProgramExitStatuses) {
  fs::path good = file("good.json", "{}");
  fs::path rounded = file("rounded.json", kRounded);
  fs::path bad = file("bad.json", "[]");
  const std::string out = (dir_.path() / "o.html").string();

  test::Ran r = q9({"report", good});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, report::render(json::Object{}) + "\n");

  r = q9({"report", rounded, "--out", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "wrote " + out + " (7 KB) | gate: FAIL\n  - rounded corners (1): ['4px']\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::exists(out));

  r = q9({"report", bad, "--out", dir_.path() / "x.html"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "q9: error: " + bad.string() + ": report data: expected object, found array\n");
  EXPECT_FALSE(fs::exists(dir_.path() / "x.html"));

  r = q9({"report", good}, "/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "q9: error: standard output: No space left on device\n");

  // --out onto device nodes writes into them and never replaces them.
  const fs::path null = dir_.path() / "null", full = dir_.path() / "full";
  if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      ::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    if (std::getenv("CI")) FAIL() << "mknod: " << std::strerror(errno);
    GTEST_SKIP() << "cannot make device nodes here (needs root): " << std::strerror(errno);
  }
  r = q9({"report", good, "--out", null});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "wrote " + null.string() + " (7 KB) | gate: PASS\n");
  r = q9({"report", good, "--out", full});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "q9: error: " + full.string() + ": No space left on device\n");
  EXPECT_TRUE(fs::is_character_file(null));
  EXPECT_TRUE(fs::is_character_file(full));
}

// `--out /dev/stdout >> log` appends the dossier to the log: the path is the process's own
// standard output, written through it, never a new file renamed over the log.
TEST_F(ReportCommandTest, OutToStandardOutputAppendedToALogKeepsTheLog) {
  const fs::path good = file("good.json", "{}"), log = file("log", "earlier\n");
  const std::string command = Q9_BINARY_DIR "/src/cli/q9 report '" + good.string() +
                              "' --out /dev/stdout >> '" + log.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_text(log), "earlier\n" + report::render(json::Object{}) +
                                "wrote /dev/stdout (7 KB) | gate: PASS\n");
}

// A data file of some tens of MB: its dossier takes a while to write.
fs::path large_data(const fs::path& dir) {
  const fs::path data = dir / "large.json";
  write_text(data, R"({"sections": [{"id": "a", "title": "A", "body_html": ")" +
                       std::string(64 << 20, 'x') + "\"}]}");
  return data;
}

// A SIGTERM while the dossier is being written removes the temporary file with the process;
// nothing is left in the folder.
TEST_F(ReportCommandTest, SigtermDuringALargeWriteLeavesNoTemporaryFile) {
  const fs::path data = large_data(dir_.path()), out_dir = dir_.path() / "out";
  fs::create_directory(out_dir);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(Q9_BINARY_DIR "/src/cli/q9", "q9", "report", data.c_str(), "--out",
            (out_dir / "o.html").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const bool writing = test::eventually([&] { return !fs::is_empty(out_dir); });
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(writing);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(fs::is_empty(out_dir));
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define Q9_SANITIZED 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define Q9_SANITIZED 1
#endif

// Memory that runs out is one line naming the file, not the name of an exception.
TEST_F(ReportCommandTest, OutOfMemoryIsOneLineNamingTheFile) {
#ifdef Q9_SANITIZED
  GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
#else
  const fs::path data = large_data(dir_.path());
  const fs::path err = dir_.path() / "err";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit space{160 << 20, 160 << 20};  // the data, and not much more
    const int to = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::setrlimit(RLIMIT_AS, &space) != 0 || to < 0 || ::dup2(to, 2) < 0) ::_exit(126);
    ::execl(Q9_BINARY_DIR "/src/cli/q9", "q9", "report", data.c_str(), "--out",
            (dir_.path() / "o.html").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(read_text(err), "q9: error: " + data.string() + ": out of memory\n");
#endif
}

}  // namespace
}  // namespace q9::cli
