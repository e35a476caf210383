// The SQLite store's schema: the version a file holds, and the steps, indexed by the version
// they lead from, that bring it to the one this program writes, all in one write transaction.
#include "memory/sqlite_schema.hpp"

#include <iterator>
#include <string>

#include "memory/sqlite_check.hpp"
#include "memory/sqlite_db.hpp"
#include "memory/sqlite_store.hpp"
#include "memory/sqlite_text_upgrades.hpp"

namespace q9::memory::sqlite {
namespace fs = std::filesystem;
namespace {

// Migrations, indexed by the schema version they lead from.
using Migration = void (*)(sqlite3*, const fs::path&);
const Migration MIGRATIONS[] = {
    // 0 -> 1
    [](sqlite3* db, const fs::path& path) {
      exec(db, path,
           "CREATE TABLE entities ("
           "  id INTEGER PRIMARY KEY,"
           "  key TEXT NOT NULL UNIQUE,"
           "  name TEXT NOT NULL);"
           "CREATE TABLE records ("
           "  id INTEGER PRIMARY KEY,"
           "  entity_id INTEGER NOT NULL REFERENCES entities(id),"
           "  kind TEXT NOT NULL,"
           "  section TEXT NOT NULL,"
           "  text TEXT NOT NULL,"
           "  source TEXT NOT NULL,"
           "  fact_date TEXT NOT NULL,"
           "  version INTEGER NOT NULL,"
           "  recorded_at TEXT NOT NULL,"
           "  UNIQUE (entity_id, kind, section, text, source, fact_date, version));");
    },
    // 1 -> 2: an entity's records in the order they were recorded, without a sort
    [](sqlite3* db, const fs::path& path) {
      exec(db, path, "CREATE INDEX records_by_entity ON records (entity_id, id);");
    },
    rekey,
    repair_text,
    // 4 -> 5: recall reads facts section by section and finds the latest date without a
    // pass over the records. IF NOT EXISTS: a store rebuilt from a dump has them already.
    [](sqlite3* db, const fs::path& path) {
      exec(db, path,
           "CREATE INDEX IF NOT EXISTS records_by_kind ON records (entity_id, kind, section, id);"
           "CREATE INDEX IF NOT EXISTS records_by_date ON records (entity_id, fact_date);");
    },
};
static_assert(std::size(MIGRATIONS) == SqliteStore::SCHEMA_VERSION);

}  // namespace

int schema_version(sqlite3* db, const fs::path& path) {
  {
    Stmt s(db, path, "PRAGMA user_version");
    s.step();
    if (int v = static_cast<int>(s.integer(0)); v != 0) return v;
  }
  // A store rebuilt from an SQL dump has its tables but version 0. Its tables tell versions
  // up to 2 apart; the upgrades after 2 leave a store that has had them as it is.
  Stmt s(db, path,
         "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'entities'),"
         " EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'index' AND"
         " name = 'records_by_entity')");
  s.step();
  return s.integer(0) == 0 ? 0 : s.integer(1) == 0 ? 1 : 2;
}

// Refuses a file at the store's path that holds no store (an empty file, say, or another
// program's database): taking it as a new store would hide that the store was lost.
void check_is_store(sqlite3* db, const fs::path& path) {
  if (schema_version(db, path) != 0) return;
  throw MemoryError("memory store " + path.string() +
                    " holds no memory store (it is empty or another program's database); move "
                    "it away and q9 starts a new store");
}

// Brings the schema up to date in one write transaction; a store another process has
// migrated meanwhile is left as it is.
void migrate(sqlite3* db, const fs::path& path) {
  if (schema_version(db, path) == SqliteStore::SCHEMA_VERSION) return;
  Transaction t(db, path, "BEGIN IMMEDIATE");
  int v = schema_version(db, path);
  if (v > SqliteStore::SCHEMA_VERSION) {
    throw MemoryError("memory store " + path.string() + " has schema version " + std::to_string(v) +
                      ", newer than this q9 understands (" +
                      std::to_string(SqliteStore::SCHEMA_VERSION) + ")");
  }
  // An upgrade rewrites much of the store: never on top of damage.
  if (v > 0 && v < SqliteStore::SCHEMA_VERSION) check_intact(db, path);
  for (; v < SqliteStore::SCHEMA_VERSION; ++v) MIGRATIONS[v](db, path);
  exec(db, path, ("PRAGMA user_version=" + std::to_string(SqliteStore::SCHEMA_VERSION)).c_str());
  t.commit();
}

}  // namespace q9::memory::sqlite
