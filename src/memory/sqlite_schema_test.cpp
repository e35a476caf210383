// Tests of the SQLite store's schema: older stores upgraded with their records, and files it
// refuses to upgrade (a newer schema, an empty file, another program's database).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <utility>

#include "core/atomic_write.hpp"
#include "core/read_file.hpp"
#include "memory/sqlite_store.hpp"
#include "memory/store_test.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

// Each call tries to open the store again; none leaves a connection behind.
TEST_F(StoreTest, RefusesANewerSchemaAgainWithoutLeakingConnections) {
  old_store("PRAGMA user_version=99;");
  const auto before = test::open_descriptors();
  {
    SqliteStore s(dir_);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(error_of([&] { s.record_negative("Acme", "n"); }),
                "memory store " + (dir_ / "memory.db").string() +
                    " has schema version 99, newer than this q9 understands (5)");
    }
  }
  EXPECT_EQ(test::open_descriptors(), before);
}

// Neither junk, nor an empty file or another program's database (what a failed rescue
// leaves) is taken as a new store; each is left as it was.
TEST_F(StoreTest, EmptyOrForeignFileIsNotTakenAsANewStore) {
  const std::string p = (dir_ / "memory.db").string();
  const std::string none = "memory store " + p +
                           " holds no memory store (it is empty or another program's database);"
                           " move it away and q9 starts a new store";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "other.db").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  for (const auto& [bytes, error] :
       {std::pair{std::string(4096, 'x'), "memory store " + p + ": file is not a database"},
        {"", none},
        {files::read_file(dir_ / "other.db"), none}}) {
    files::write_file_atomic(p, bytes);
    EXPECT_EQ(error_of([&] { SqliteStore(dir_).init(); }), error) << bytes.size();
    EXPECT_EQ(error_of([&] { SqliteStore(dir_).all_entities(); }), error) << bytes.size();
    EXPECT_EQ(files::read_file(p), bytes);
  }
}

// The first schema, the one before this, and a current store rebuilt from an SQL dump
// (version 0, its indexes there already). Each record kind is read in the order it prints.
TEST_F(StoreTest, MigratesOlderStoresKeepingTheirRecords) {
  const std::string by_entity = "CREATE INDEX records_by_entity ON records (entity_id, id);";
  for (const std::string& schema :
       {std::string("PRAGMA user_version=1;"), by_entity + "PRAGMA user_version=4;",
        by_entity + "CREATE INDEX records_by_kind ON records (entity_id, kind, section, id);"
                    "CREATE INDEX records_by_date ON records (entity_id, fact_date);"}) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    old_store(
        "INSERT INTO entities VALUES (1, 'acme', 'Acme');"
        "INSERT INTO records VALUES (1, 1, 'fact', 'people', 'old', 's', '2020-01-01', 0, 't'),"
        " (2, 1, 'report', '', '/v2.html', '', '2020-01-02', 2, 't'),"
        " (3, 1, 'memo', '', 'a kind this q9 does not know', '', '2022-01-01', 0, 't'),"
        " (4, 1, 'negative', '', 'none', '', '2020-01-03', 0, 't'),"
        " (5, 1, 'report', '', '/v1.html', '', '2020-01-04', 1, 't');" +
        schema);
    SqliteStore s(dir_);
    s.record_fact("ACME", "general", "new", "s", "2021-01-01");
    s.record_fact("ACME", "people", "newer", "s", "2021-01-01");
    const json::Object o = recalled(s, "acme").as_object();
    EXPECT_EQ(*o.find("fact_count"), json::Value(3)) << schema;
    EXPECT_EQ(*o.find("last_updated"), json::Value("2022-01-01"));
    std::string order;
    for (const auto& [section, facts] : o.find("facts")->as_object()) {
      for (const json::Value& f : facts.as_array())
        order += section + ":" + f.as_object().find("claim")->as_string() + " ";
    }
    for (const char* list : {"negatives", "reports"}) {
      for (const json::Value& r : o.find(list)->as_array())
        order += r.as_object().begin()->second.as_string() + " ";
    }
    EXPECT_EQ(order, "people:old people:newer general:new none /v1.html /v2.html ");
  }
}

}  // namespace
}  // namespace q9::memory
