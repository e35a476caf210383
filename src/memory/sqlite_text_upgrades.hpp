// The two upgrades of the SQLite store that rewrite what it holds rather than its schema:
// entities keyed anew (2 -> 3) and text that is not UTF-8 repaired in every column (3 -> 4).
#pragma once

#include <filesystem>

struct sqlite3;

namespace q9::memory::sqlite {

// 2 -> 3: entities keyed by Unicode NFKC case folding instead of ASCII case; entities whose
// keys now coincide become one. Runs inside the upgrade's write transaction on `db`; failures
// are MemoryError naming `path`.
void rekey(sqlite3* db, const std::filesystem::path& path);

// 3 -> 4: text that is not UTF-8 read as windows-1252 in every column, so that every recall
// is JSON. Runs inside the upgrade's write transaction like rekey().
void repair_text(sqlite3* db, const std::filesystem::path& path);

}  // namespace q9::memory::sqlite
