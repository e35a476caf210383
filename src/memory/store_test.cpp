// Tests of the memory store: keys, dates, merging, recall and bad input.
#include "memory/store_test.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <functional>

#include "core/atomic_write.hpp"
#include "core/read_file.hpp"
#include "core/utf8.hpp"
#include "memory/input.hpp"
#include "memory/sqlite_store.hpp"
#include "testing/support.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

// The one-query list says what recall says of each entity.
void expect_summaries_as_recalled(Store& s) {
  for (const EntitySummary& e : s.all_entities()) {
    const json::Object r = recalled(s, e.name).as_object();
    EXPECT_EQ(*r.find("fact_count"), json::Value(e.fact_count)) << e.name;
    EXPECT_EQ(*r.find("last_updated"),
              e.last_updated ? json::Value(*e.last_updated) : json::Value());
  }
}

TEST(EntityKey, FoldsCaseAndWhiteSpace) {
  struct {
    const char* name;
    const char* key;
  } rows[] = {
      {"Acme Corp", "acme corp"},
      {" acme \t corp\n", "acme corp"},
      {"MÜLLER AG", "müller ag"},
      {"Mu\u0308ller AG", "müller ag"},                   // decomposed ü
      {"Stra\u00dfe\u00a0GmbH", "strasse gmbh"},          // ß folds to ss, no-break space
      {"\uff21\uff23\uff2d\uff25\u3000Ltd", "acme ltd"},  // full-width letters, ideographic space
      {"\ufb01rst\u200b Co", "first co"},                 // ligature; zero-width space dropped
      {"\u2028ΣΊΣΥΦΟΣ\u2029", "σίσυφοσ"},
  };
  for (const auto& row : rows) EXPECT_EQ(entity_key(row.name), row.key) << row.name;
  for (const char* blank : {"", " \t ", "\u00a0\u200b\u3000"}) {
    EXPECT_THROW(entity_key(blank), MemoryError) << blank;
  }
  try {
    entity_key("Acme\xff");
    ADD_FAILURE() << "accepted";
  } catch (const MemoryError& e) {
    EXPECT_STREQ(e.what(), "entity name is not valid UTF-8 (byte 5)");
  }
}

TEST(CalendarDate, AcceptsOnlyRealDays) {
  for (const char* ok : {"2024-01-01", "2024-02-29", "2000-02-29", "1999-12-31"})
    EXPECT_TRUE(is_calendar_date(ok)) << ok;
  for (const char* bad : {"2023-02-29", "1900-02-29", "2024-13-01", "2024-04-31", "2024-1-01",
                          "24-01-01", "2024/01/01", "0000-01-01", "2024-01-00", "today"})
    EXPECT_FALSE(is_calendar_date(bad)) << bad;
}

// A quoted "~/..." reaches q9 unexpanded; only "~" and "~/" mean the home directory.
TEST(ReportPath, TildeIsTheHomeDirectory) {
  test::ScopedEnv home("HOME", "/home/ana/");
  EXPECT_EQ(absolute_report_path("~/Desktop/r.html"), "/home/ana/Desktop/r.html");
  EXPECT_EQ(absolute_report_path("~"), "/home/ana");
  EXPECT_EQ(absolute_report_path("~ana/r.html"), (fs::current_path() / "~ana/r.html").string());
}

TEST_F(StoreTest, MergesNamesAndDoesNotDuplicateFacts) {
  SqliteStore s(dir_);
  EXPECT_EQ(s.record_fact("Acme Corp", "people", "CEO is X", "registry", "2024-05-01"),
            "fact for Acme Corp [people] (2024-05-01)");
  EXPECT_EQ(s.record_fact(" acme  CORP ", "people", "CEO is X", "registry", "2024-05-01"),
            "already recorded: fact for Acme Corp [people] (2024-05-01)");
  // Another source, date or section is another record.
  s.record_fact("acme corp", "people", "CEO is X", "press", "2024-05-01");
  s.record_fact("acme corp", "general", "CEO is X", "press", "2024-06-01");
  json::Value r = recalled(s, "ACME corp");
  const json::Object& o = r.as_object();
  EXPECT_EQ(*o.find("entity"), json::Value("Acme Corp"));
  EXPECT_EQ(*o.find("fact_count"), json::Value(3));
  EXPECT_EQ(*o.find("last_updated"), json::Value("2024-06-01"));
  const json::Object& facts = o.find("facts")->as_object();
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_EQ(facts.begin()->first, "people");
  EXPECT_EQ(facts.find("people")->as_array().size(), 2u);
  ASSERT_EQ(s.all_entities().size(), 1u);
  EXPECT_EQ(s.all_entities()[0].name, "Acme Corp");
  expect_summaries_as_recalled(s);
}

TEST_F(StoreTest, KeepsEachKindApartAndReportsInVersionOrder) {
  // Noon UTC on 1 March 2024 is still 29 February fourteen hours west: an undated record
  // gets the local date and its recording time in UTC.
  test::ScopedEnv tz("TZ", "UTC+14");
  ::tzset();
  SqliteStore s(dir_);
  s.set_clock([] { return std::time_t{1709294400}; });
  s.record_report("Acme", "v3.html", 3);
  s.record_report("Acme", "v1.html", 1);
  s.record_negative("Acme", "no court records");
  s.record_contradiction("Acme", "revenue", "10bn (A) vs 12bn (B)");
  s.record_fact("Beta", "general", "other company", "", std::nullopt);
  const json::Object o = recalled(s, "acme").as_object();
  EXPECT_EQ(*o.find("fact_count"), json::Value(0));
  const json::Array& reports = o.find("reports")->as_array();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(*reports[0].as_object().find("version"), json::Value(1));
  // Stored absolute, so a run started in another folder finds the dossier.
  EXPECT_EQ(*reports[1].as_object().find("path"),
            json::Value((fs::current_path() / "v3.html").string()));
  EXPECT_EQ(o.find("negatives")->as_array().size(), 1u);
  EXPECT_EQ(*o.find("contradictions")->as_array()[0].as_object().find("topic"),
            json::Value("revenue"));
  const json::Object beta = recalled(s, "beta").as_object();
  EXPECT_EQ(*beta.find("last_updated"), json::Value("2024-02-29"));
  EXPECT_EQ(
      *beta.find("facts")->as_object().find("general")->as_array()[0].as_object().find("recorded"),
      json::Value("2024-03-01T12:00:00+00:00"));
  expect_summaries_as_recalled(s);
}

TEST_F(StoreTest, UnknownEntityAndStoreSummary) {
  SqliteStore s(dir_);
  const json::Object o = recalled(s, "Nobody Ltd").as_object();
  EXPECT_EQ(*o.find("fact_count"), json::Value(0));
  EXPECT_TRUE(o.find("last_updated")->is_null());
  EXPECT_TRUE(o.find("facts")->as_object().empty());
  s.record_negative("x", "y");
  const json::Object sum = recalled(s, std::nullopt).as_object();
  EXPECT_EQ(*sum.find("entities"), json::Value(1));
  EXPECT_EQ(*sum.find("records"), json::Value(1));
}

TEST_F(StoreTest, RefusesBadInputAndCreatesNothing) {
  SqliteStore s(dir_);
  const std::string nul("a\0b", 3);
  struct {
    std::function<void()> call;
    const char* error;
  } rows[] = {
      {[&] { s.record_fact("Acme", "general", "c", "", "2024-02-30"); },
       "fact date '2024-02-30' is not a calendar date in the form YYYY-MM-DD"},
      {[&] { s.record_report("Acme", "r.html", 0); }, "report version must be 1 or more, not 0"},
      {[&] { s.record_report("Acme", "", 1); }, "report path is empty"},
      {[&] { s.record_negative("  ", "n"); }, "entity name is empty"},
      {[&] { s.record_fact("Acme", "general", "caf\xc3", "", std::nullopt); },
       "claim is not valid UTF-8 (byte 4)"},
      {[&] { s.record_fact("Acme", "general", "c", "\xed\xa0\x80", std::nullopt); },
       "source is not valid UTF-8 (byte 1)"},
      {[&] { s.record_contradiction("Acme", nul, "t"); }, "topic contains a NUL character"},
      {[&] { recalled(s, "\xc0\xaf"); }, "entity name is not valid UTF-8 (byte 1)"},
  };
  for (const auto& row : rows) {
    try {
      row.call();
      ADD_FAILURE() << "accepted: " << row.error;
    } catch (const MemoryError& e) {
      EXPECT_STREQ(e.what(), row.error);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "memory.db"));
  EXPECT_TRUE(s.all_entities().empty());
}

TEST_F(StoreTest, RefusesAFolderThatCannotBeCreated) {
  files::write_file_atomic(dir_ / "plain", "a file where a folder belongs");
  try {
    SqliteStore(dir_ / "plain" / "memory").init();
    ADD_FAILURE() << "opened";
  } catch (const MemoryError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot create memory store folder"), std::string::npos);
  }
}

// Another program wrote bytes that are not UTF-8 into a current store: recall is still JSON,
// read as windows-1252 (whose unassigned bytes are C1 controls).
TEST_F(StoreTest, RecallOfBytesThatAreNotUtf8InACurrentStoreIsJson) {
  old_store(
      "INSERT INTO entities VALUES (1, 'acme', 'Acme'); INSERT INTO records VALUES (1, 1,"
      " 'fact', 'general', 'M\xfcller', '\x80\x81', '', 0, '');  PRAGMA user_version=5;"
      "CREATE INDEX records_by_kind ON records (entity_id, kind, section, id);");
  SqliteStore s(dir_);
  const json::Value facts = *recalled(s, "acme").as_object().find("facts");
  EXPECT_EQ(facts, json::parse(R"({"general": [{"claim": "Müller", "source": "€\u0081", "date": "",
                                    "recorded": ""}]})"));
}

TEST_F(StoreTest, ADanglingLinkGetsTheStoreAtItsTarget) {
  fs::create_directories(dir_ / "synced");
  fs::create_directories(dir_ / "memory");
  fs::create_symlink("../synced/memory.db", dir_ / "memory" / "memory.db");
  SqliteStore(dir_ / "memory").record_negative("Acme", "none");
  EXPECT_EQ(SqliteStore(dir_ / "synced").all_entities().size(), 1u);
  fs::create_symlink("nowhere/memory.db", dir_ / "memory.db");
  EXPECT_EQ(error_of([&] { SqliteStore(dir_).init(); }),
            "memory store " + (dir_ / "memory.db").string() + " is a symbolic link to " +
                (dir_ / "nowhere/memory.db").string() +
                ", which does not exist and cannot be created");
}

// A first use that fails names the store, not the file it was building; what a killed one
// left is removed once it is old.
TEST_F(StoreTest, FirstUseNamesTheStoreAndLeavesNoTemporaryFiles) {
  for (const char* name : {".memory.db.new-1-2", ".memory.db.new-1-2-wal", ".memory.db.new-3-4"})
    files::write_file_atomic(dir_ / name, "x");
  for (const char* name : {".memory.db.new-1-2", ".memory.db.new-1-2-wal"})
    fs::last_write_time(dir_ / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{1024, old.rlim_max};  // fails the first write of the new database
  ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string error = error_of([&] { SqliteStore(dir_).init(); });
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(error.starts_with("memory store " + (dir_ / "memory.db").string() + ": ")) << error;
  SqliteStore(dir_).init();
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".memory.db.new-3-4", "memory.db"}));
}

}  // namespace
}  // namespace q9::memory
