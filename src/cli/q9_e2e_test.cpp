// The q9 program as a user runs it: exit statuses and what goes to which stream.
#include <gtest/gtest.h>

#include "q9/version.hpp"
#include "testing/support.hpp"

namespace {

q9::test::Ran q9(std::vector<std::string> args) {
  args.insert(args.begin(), Q9_BINARY_DIR "/src/cli/q9");
  return q9::test::run_program(args);
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

}  // namespace
