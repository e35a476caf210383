// Tests of the SQLite store's damage check and the rescue it advises.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "memory/sqlite_store.hpp"
#include "memory/store_test.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

// Random bytes over a page of a store: refused before an upgrade, and after a writer died
// (a child that ends without closing leaves its WAL for the next opener to recover).
TEST_F(StoreTest, RefusesADamagedStoreBeforeAnUpgradeAndAfterAWriterDied) {
  const std::string records =
      "INSERT INTO entities VALUES (1, 'acme', 'Acme');"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
      " INSERT INTO records SELECT i, 1, 'fact', 'general', 'claim ' || i, '', '', 0, '' FROM n;"
      "CREATE INDEX records_by_entity ON records (entity_id, id);";
  for (const char* version : {"PRAGMA user_version=2;", "PRAGMA user_version=4;"}) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    old_store(records + version);
    if (std::string(version).ends_with("4;") && ::fork() == 0) {
      sqlite3* db = nullptr;
      sqlite3_open((dir_ / "memory.db").c_str(), &db);
      ::_exit(sqlite3_exec(db, "PRAGMA journal_mode=WAL; UPDATE entities SET name = 'ACME'",
                           nullptr, nullptr, nullptr));
    }
    ::wait(nullptr);
    std::fstream(dir_ / "memory.db", std::ios::in | std::ios::out | std::ios::binary)
        .seekp(40 * 4096)
        .write(std::string(4096, '\xa5').data(), 4096);
    const std::string p = (dir_ / "memory.db").string();
    const std::string error = error_of([&] { SqliteStore(dir_).record_negative("Acme", "n"); });
    EXPECT_TRUE(error.starts_with("memory store " + p + " is damaged (")) << version << error;
    EXPECT_TRUE(
        error.ends_with("); save what it holds beside it with: sqlite3 " + p +
                        " .dump | sed 's/^ROLLBACK; -- due to errors$/COMMIT;/' | sqlite3 " + p +
                        ".rescued, check that sqlite3 " + p +
                        ".rescued 'SELECT count(*) FROM records' counts its records, then mv " + p +
                        " " + p + ".damaged && mv " + p + ".rescued " + p))
        << error;
  }
}

}  // namespace
}  // namespace q9::memory
