// The SQLite store's schema: which version a file holds, and the upgrades that bring it to
// the one this program writes (SqliteStore::SCHEMA_VERSION) before anything reads or writes.
#pragma once

#include <filesystem>

struct sqlite3;

namespace q9::memory::sqlite {

// The schema version of the store `db`: its user_version or, for a store rebuilt from an SQL
// dump (version 0), what its tables tell; 0 when it holds no store. Failures are MemoryError
// naming `path`, as in every function here.
int schema_version(sqlite3* db, const std::filesystem::path& path);

// Throws MemoryError when the file at the store's path holds no store (an empty file, say,
// or another program's database), before anything changes it.
void check_is_store(sqlite3* db, const std::filesystem::path& path);

// Brings the schema up to date in one write transaction; a store another process has
// migrated meanwhile is left as it is. Refuses a newer schema, and a damaged store before
// an upgrade rewrites it.
void migrate(sqlite3* db, const std::filesystem::path& path);

}  // namespace q9::memory::sqlite
