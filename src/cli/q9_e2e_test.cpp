// The q9 program as a user runs it: exit statuses and what goes to which stream.
#include <gtest/gtest.h>

#include "q9/version.hpp"
#include "testing/support.hpp"

namespace {

q9::test::Ran q9(std::vector<std::string> args, const std::string& stdout_to = "") {
  args.insert(args.begin(), Q9_BINARY_DIR "/src/cli/q9");
  return q9::test::run_program(args, stdout_to);
}

TEST(Q9ProgramTest, StatusesAndStreams) {
  const std::string top_usage =
      "usage: q9 [-h] {validate,memory,record,report,doctrine,streams,version} ...\n";
  q9::test::Ran r = q9({"version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "q9infra " + std::string(q9::VERSION) + "\n");
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
  q9::test::TempDir dir;
  q9::test::ScopedEnv config("OPENCODE_CONFIG_DIR", dir.path().string());
  q9::test::ScopedEnv url("Q9_MEMORY_URL", std::nullopt);
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
    const q9::test::Ran r = q9(args, "/dev/full");
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, "q9: error: standard output: No space left on device\n") << args[0];
  }
  // A pipe whose reader is already gone, with SIGPIPE ignored as some callers do: no message.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const int saved = ::dup(1);
  ::dup2(fds[1], 1);
  ::close(fds[1]);
  const std::string err = (dir / "err").string();
  std::system(("trap '' PIPE; exec " Q9_BINARY_DIR "/src/cli/q9 doctrine 2>" + err).c_str());
  ::dup2(saved, 1);
  ::close(saved);
  EXPECT_EQ(q9::test::read_text(err), "");
}

}  // namespace
