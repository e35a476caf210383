// The damage check of the SQLite store, run before an upgrade rewrites it and after SQLite
// recovered the WAL of a writer that died.
#pragma once

#include <filesystem>

struct sqlite3;

namespace q9::memory::sqlite {

// Throws MemoryError when SQLite's quick check finds the store `db` (at `path`) damaged: the
// first finding on one line, and the shell commands that save what the store holds beside it.
void check_intact(sqlite3* db, const std::filesystem::path& path);

}  // namespace q9::memory::sqlite
