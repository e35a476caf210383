// The q9 program as a user runs it: exit statuses and what goes to which stream.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out, err;
};

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs q9 with `args`; its standard output goes to `out_to` when given.
Result q9(const std::vector<std::string>& args, const std::string& out_to = "") {
  const fs::path dir = fs::temp_directory_path();
  const std::string tag = "q9-e2e-" + std::to_string(::getpid());
  const fs::path out = dir / (tag + ".out"), err = dir / (tag + ".err");
  std::string cmd = shell_quote(Q9_BINARY_DIR "/src/cli/q9");
  for (const std::string& a : args) cmd += " " + shell_quote(a);
  cmd += " >" + shell_quote(out_to.empty() ? out.string() : out_to) + " 2>" +
         shell_quote(err.string()) + " </dev/null";
  const int raw = std::system(cmd.c_str());
  Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  fs::remove(out);
  fs::remove(err);
  return r;
}

TEST(Q9ProgramTest, StatusesAndStreams) {
  const std::string top_usage =
      "usage: q9 [-h] {validate,memory,record,report,doctrine,streams,version} ...\n";
  Result r = q9({"version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "q9infra 1.1.1\n");
  EXPECT_EQ(r.err, "");

  r = q9({});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, top_usage + "q9: error: the following arguments are required: cmd\n");

  r = q9({"record", "report", "acme", "out.html", "--version", "two"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");

  r = q9({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with(top_usage + "\nVarnook Q9 dossier infrastructure\n")) << r.out;
  EXPECT_EQ(r.err, "");

  r = q9({"streams", ""});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("[\n  \"Financials & Corporate Structure\",\n")) << r.out;

  r = q9({"doctrine"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("{\n  \"tiers\": {\n")) << r.out;
  EXPECT_NE(r.out.find("org charts \\u2014 CSS Grid"), std::string::npos);

  r = q9({"report", "/nonexistent/q9-data.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("q9: error: /nonexistent/q9-data.json")) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

// Output that does not reach standard output fails the command, said once; a reader that
// went away (q9 ... | head) hears nothing.
TEST(Q9ProgramTest, OutputThatCannotBeWrittenFails) {
  const fs::path dir = fs::temp_directory_path() / ("q9-e2e-full-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ::setenv("OPENCODE_CONFIG_DIR", dir.c_str(), 1);
  ::unsetenv("Q9_MEMORY_URL");
  const std::string example = Q9_SOURCE_DIR "/examples/northwind-dossier";
  const std::vector<std::string> commands[] = {
      {"version"},
      {"doctrine"},
      {"validate", example + ".html"},
      {"report", example + ".json", "--out", (dir / "out.html").string()},
      {"record", "fact", "Acme", "c"},
      {"memory", "recall", "Acme"},
      {"memory", "list"}};
  for (const auto& args : commands) {
    Result r = q9(args, "/dev/full");
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, "q9: error: standard output: No space left on device\n") << args[0];
  }
  const std::string err = (dir / "err").string();
  std::system(
      ("(trap '' PIPE; sleep 0.3; exec " Q9_BINARY_DIR "/src/cli/q9 doctrine 2>" + err + ") | true")
          .c_str());
  EXPECT_EQ(slurp(err), "");
  fs::remove_all(dir);
}

}  // namespace
