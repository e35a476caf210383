// The damage check of the SQLite store and its advice on rescuing what a damaged one holds.
#include "memory/sqlite_check.hpp"

#include <sqlite3.h>

#include <string>

#include "memory/error.hpp"

namespace q9::memory::sqlite {
namespace fs = std::filesystem;
namespace {

// `text` as one word for a POSIX shell: as it is when that is safe, else in single quotes.
std::string _shell_word(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789/._-+@%:,=") == std::string::npos)
    return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

// Throws when SQLite's quick check finds the file damaged, saying how to save what it holds.
void check_intact(sqlite3* db, const fs::path& path) {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  std::string problem, error;
  if (rc == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(s, 0);
    problem = text ? reinterpret_cast<const char*>(text) : "";
    if (problem == "ok") problem.clear();
  } else if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
    problem = sqlite3_errmsg(db);
  } else if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
  }
  sqlite3_finalize(s);
  if (!error.empty()) throw MemoryError("memory store " + path.string() + ": " + error);
  if (problem.empty()) return;
  // The first finding, on one line ("*** in database main ***\nPage 5: ...").
  const std::string header = "*** in database main ***\n";
  if (problem.starts_with(header)) problem.erase(0, header.size());
  for (char& c : problem) c = c == '\n' ? ' ' : c;
  // .dump, not .recover: Debian's sqlite3 cannot run .recover even on a healthy file and
  // still exits 0. A dump that met damage ends with ROLLBACK, which would undo everything
  // it saved, so it is turned into COMMIT. The original stays until the copy is checked.
  const std::string p = _shell_word(path.string()), saved = _shell_word(path.string() + ".rescued");
  throw MemoryError("memory store " + path.string() + " is damaged (" + problem +
                    "); save what it holds beside it with: sqlite3 " + p +
                    " .dump | sed 's/^ROLLBACK; -- due to errors$/COMMIT;/' | sqlite3 " + saved +
                    ", check that sqlite3 " + saved +
                    " 'SELECT count(*) FROM records' counts its records, then mv " + p + " " +
                    _shell_word(path.string() + ".damaged") + " && mv " + saved + " " + p);
}

}  // namespace q9::memory::sqlite
