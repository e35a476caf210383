// q9 memory and q9 record through the command line, in process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "cli/commands.hpp"

namespace q9::cli {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out, err;
};

class CmdMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("q9-cmd-memory-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    ::setenv("OPENCODE_CONFIG_DIR", dir_.c_str(), 1);
    ::unsetenv("Q9_MEMORY_URL");
  }
  void TearDown() override {
    ::unsetenv("OPENCODE_CONFIG_DIR");
    fs::remove_all(dir_);
  }
  Outcome q9(std::vector<std::string> argv) {
    std::ostringstream out, err;
    Io io{out, err};
    int status = run(argv, io);
    return {status, out.str(), err.str()};
  }
  fs::path dir_;
};

TEST_F(CmdMemory, RecordPassesTheSectionDefaultAndIgnoresForeignOptions) {
  struct {
    std::vector<std::string> argv;
    std::string out;
  } rows[] = {
      {{"record", "fact", "acme", "claim"}, "recorded -> fact for acme [general] ("},
      {{"record", "fact", "acme", "people", "claim", "--source", "x", "--date", "2024-01-01"},
       "recorded -> fact for acme [people] (2024-01-01)\n"},
      {{"record", "contradiction", "acme", "", "a vs b"},
       "recorded -> contradiction for acme [general] ("},
      {{"record", "negative", "acme", "ignored", "none found", "--source", "x", "--date", "bogus"},
       "recorded -> negative for acme ("},
      {{"record", "report", "acme", "out.html"}, "recorded -> report for acme v1 ("},
      {{"record", "report", "acme", "out.html", "--version", "3"},
       "recorded -> report for acme v3 ("},
  };
  for (const auto& row : rows) {
    Outcome o = q9(row.argv);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.substr(0, row.out.size()), row.out);
    EXPECT_EQ(o.err, "");
  }
  Outcome recall = q9({"memory", "recall", "ACME"});
  EXPECT_NE(recall.out.find("\"fact_count\": 2,"), std::string::npos);
}

TEST_F(CmdMemory, BadInputEndsWithOneLineAndStoresNothing) {
  struct {
    std::vector<std::string> argv;
    std::string err;
  } rows[] = {
      {{"record", "fact", " ", "claim"}, "q9: error: entity name is empty\n"},
      {{"record", "fact", "acme", "c", "--date", "2024-02-30"},
       "q9: error: fact date '2024-02-30' is not a calendar date in the form YYYY-MM-DD\n"},
      {{"record", "report", "acme", "r.html", "--version", "0"},
       "q9: error: report version must be a whole number from 1 to 9223372036854775807, not 0\n"},
      {{"record", "report", "acme", "r.html", "--version", "99999999999999999999"},
       "q9: error: report version must be a whole number from 1 to 9223372036854775807, not "
       "99999999999999999999\n"},
  };
  for (const auto& row : rows) {
    Outcome o = q9(row.argv);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, row.err);
  }
  EXPECT_EQ(q9({"memory", "list"}).out, "");
}

// The variable may carry a password: it is never quoted, and no SQLite store is made instead.
TEST_F(CmdMemory, AStoreUrlOfAnotherKindIsRefusedWithoutQuotingIt) {
  ::setenv("Q9_MEMORY_URL", "mysql://me:Secret-pw@db/research", 1);
  Outcome o = q9({"record", "fact", "acme", "c"});
  ::unsetenv("Q9_MEMORY_URL");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "q9: error: Q9_MEMORY_URL must be empty (the SQLite store) or a postgresql:// or "
            "postgres:// URI\n");
  EXPECT_FALSE(fs::exists(dir_));
  ::setenv("Q9_MEMORY_URL", "", 1);  // empty: the SQLite store
  EXPECT_EQ(q9({"memory", "list"}).status, 0);
  ::unsetenv("Q9_MEMORY_URL");
}

// A name can hold anything but NUL; the list still shows one company per line and nothing
// that a terminal would act on.
TEST_F(CmdMemory, ListShowsEachCompanyOnOneLineWithControlsEscaped) {
  struct {
    const char* name;
    const char* line;
  } rows[] = {
      {"1 Fake\nacme                             facts=999  updated=2099-01-01",
       "1 Fake\\nacme                             facts=999  updated=2099-01-01 facts=  1"
       "  updated=2024-01-01"},
      {"2 \x1b[2J\x1b[31mred\x07",
       "2 \\u001b[2J\\u001b[31mred\\u0007   facts=  1  updated=2024-01-01"},
      {"3 tab\there\r\x7f", "3 tab\\there\\r\\u007f              facts=  1  updated=2024-01-01"},
      {"4 \u009b \u2028 \u202egnp.exe \u2066",
       "4 \\u009b \\u2028 \\u202egnp.exe \\u2066 facts=  1  updated=2024-01-01"},
      {"5 Zürich \\n", "5 Zürich \\n                      facts=  1  updated=2024-01-01"},
  };
  std::string want;
  for (const auto& row : rows) {
    EXPECT_EQ(q9({"record", "fact", row.name, "c", "--date", "2024-01-01"}).status, 0);
    want += std::string(row.line) + "\n";
  }
  EXPECT_EQ(q9({"memory", "list"}).out, want);
}

TEST_F(CmdMemory, InitAndRecallWithoutEntity) {
  Outcome init = q9({"memory", "init", "ignored"});
  EXPECT_EQ(init.out, "memory store ready: " + (dir_ / "agent/memory/memory.db").string() + "\n");
  Outcome summary = q9({"memory", "recall"});
  EXPECT_NE(summary.out.find("\"entities\": 0,"), std::string::npos);
  q9({"record", "fact", "Zürich AG", "Grüße"});
  Outcome recall = q9({"memory", "recall", "zürich ag"});
  EXPECT_NE(recall.out.find("\"claim\": \"Grüße\""), std::string::npos);  // UTF-8, not escaped
}

}  // namespace
}  // namespace q9::cli
