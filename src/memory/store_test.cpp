// Tests of the memory store: keys, dates, merging, recall and bad input.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <fstream>

#include "core/files.hpp"
#include "memory/sqlite_store.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "q9-memory-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(EntityKey, FoldsCaseAndWhiteSpace) {
  EXPECT_EQ(entity_key("Acme Corp"), "acme corp");
  EXPECT_EQ(entity_key(" acme \t corp\n"), "acme corp");
  EXPECT_THROW(entity_key(""), MemoryError);
  EXPECT_THROW(entity_key(" \t "), MemoryError);
}

TEST(CalendarDate, AcceptsOnlyRealDays) {
  for (const char* ok : {"2024-01-01", "2024-02-29", "2000-02-29", "1999-12-31"})
    EXPECT_TRUE(is_calendar_date(ok)) << ok;
  for (const char* bad : {"2023-02-29", "1900-02-29", "2024-13-01", "2024-04-31", "2024-1-01",
                          "24-01-01", "2024/01/01", "0000-01-01", "2024-01-00", "today"})
    EXPECT_FALSE(is_calendar_date(bad)) << bad;
  EXPECT_TRUE(is_calendar_date(today()));
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
  json::Value r = s.recall("ACME corp");
  const json::Object& o = r.as_object();
  EXPECT_EQ(*o.find("entity"), json::Value("Acme Corp"));
  EXPECT_EQ(*o.find("fact_count"), json::Value(3));
  EXPECT_EQ(*o.find("last_updated"), json::Value("2024-06-01"));
  const json::Object& facts = o.find("facts")->as_object();
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_EQ(facts.begin()->first, "people");
  EXPECT_EQ(facts.find("people")->as_array().size(), 2u);
  ASSERT_EQ(s.all_entities().size(), 1u);
  EXPECT_EQ(s.all_entities()[0].stem, "Acme Corp");
}

TEST_F(StoreTest, KeepsEachKindApartAndReportsInVersionOrder) {
  SqliteStore s(dir_);
  s.record_report("Acme", "v3.html", 3);
  s.record_report("Acme", "v1.html", 1);
  s.record_negative("Acme", "no court records");
  s.record_contradiction("Acme", "revenue", "10bn (A) vs 12bn (B)");
  s.record_fact("Beta", "general", "other company", "", std::nullopt);
  const json::Object o = s.recall("acme").as_object();
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
  EXPECT_EQ(*s.recall("beta").as_object().find("last_updated"), json::Value(today()));
}

TEST_F(StoreTest, UnknownEntityAndStoreSummary) {
  SqliteStore s(dir_);
  const json::Object o = s.recall("Nobody Ltd").as_object();
  EXPECT_EQ(*o.find("fact_count"), json::Value(0));
  EXPECT_TRUE(o.find("last_updated")->is_null());
  EXPECT_TRUE(o.find("facts")->as_object().empty());
  s.record_negative("x", "y");
  const json::Object sum = s.recall(std::nullopt).as_object();
  EXPECT_EQ(*sum.find("entities"), json::Value(1));
  EXPECT_EQ(*sum.find("records"), json::Value(1));
}

TEST_F(StoreTest, RefusesBadInputAndStoresNothing) {
  SqliteStore s(dir_);
  EXPECT_THROW(s.record_fact("Acme", "general", "c", "", "2024-02-30"), MemoryError);
  EXPECT_THROW(s.record_report("Acme", "r.html", 0), MemoryError);
  EXPECT_THROW(s.record_negative("  ", "n"), MemoryError);
  EXPECT_TRUE(s.all_entities().empty());
}

TEST_F(StoreTest, LeavesAFileThatIsNotADatabaseUntouched) {
  const std::string junk(4096, 'x');
  files::write_file_atomic(dir_ / "memory.db", junk);
  EXPECT_THROW(SqliteStore(dir_).init(), MemoryError);
  EXPECT_EQ(files::read_file(dir_ / "memory.db"), junk);
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

TEST_F(StoreTest, MigratesAStoreOfTheFirstSchemaKeepingItsRecords) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "memory.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE entities (id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,"
                         " name TEXT NOT NULL);"
                         "CREATE TABLE records (id INTEGER PRIMARY KEY, entity_id INTEGER NOT NULL"
                         " REFERENCES entities(id), kind TEXT NOT NULL, section TEXT NOT NULL,"
                         " text TEXT NOT NULL, source TEXT NOT NULL, fact_date TEXT NOT NULL,"
                         " version INTEGER NOT NULL, recorded_at TEXT NOT NULL, UNIQUE (entity_id,"
                         " kind, section, text, source, fact_date, version));"
                         "INSERT INTO entities VALUES (1, 'acme', 'Acme');"
                         "INSERT INTO records VALUES (1, 1, 'fact', 'general', 'old', 's',"
                         " '2020-01-01', 0, '2020-01-01T00:00:00');"
                         "PRAGMA user_version=1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  SqliteStore s(dir_);
  s.record_fact("ACME", "general", "new", "s", "2021-01-01");
  const json::Object o = s.recall("acme").as_object();
  EXPECT_EQ(*o.find("fact_count"), json::Value(2));
  EXPECT_EQ(*o.find("last_updated"), json::Value("2021-01-01"));
  const json::Array& general = o.find("facts")->as_object().find("general")->as_array();
  ASSERT_EQ(general.size(), 2u);
  EXPECT_EQ(*general[0].as_object().find("claim"), json::Value("old"));
  EXPECT_EQ(*general[1].as_object().find("claim"), json::Value("new"));
}

}  // namespace
}  // namespace q9::memory
