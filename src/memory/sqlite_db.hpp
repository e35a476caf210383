// Statements and transactions on a connection to the SQLite memory store, each failure thrown
// as a MemoryError that names the store; the backend and its schema upgrades share them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "memory/error.hpp"

namespace q9::memory::sqlite {

// The primary result code of the last failure thrown as MemoryError: by the time it is
// caught, a rollback or a finalised statement has replaced the connection's own.
inline int last_error = SQLITE_OK;

// A prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3* db, const std::filesystem::path& path, const char* sql) : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail();
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, std::string_view s) {
    return check(sqlite3_bind_text64(stmt_, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  Stmt& bind(int i, int64_t v) { return check(sqlite3_bind_int64(stmt_, i, v)); }
  // True while a row is available.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail();
  }
  void reset() { sqlite3_reset(stmt_); }
  std::string text(int col) { return std::string(view(col)); }
  // The column's text as it is stored in the row just stepped to, valid until the next step.
  std::string_view view(int col) {
    auto p = sqlite3_column_text(stmt_, col);
    return p ? std::string_view(reinterpret_cast<const char*>(p),
                                static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string_view();
  }
  int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }

 private:
  [[noreturn]] void fail() {
    last_error = sqlite3_errcode(db_);
    throw MemoryError("memory store " + path_.string() + ": " + sqlite3_errmsg(db_));
  }
  Stmt& check(int rc) {
    if (rc != SQLITE_OK) fail();
    return *this;
  }
  sqlite3* db_;
  const std::filesystem::path& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

inline void exec(sqlite3* db, const std::filesystem::path& path, const char* sql) {
  char* err = nullptr;
  if (const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err); rc != SQLITE_OK) {
    last_error = rc & 0xff;
    std::string msg = err ? err : sqlite3_errmsg(db);
    sqlite3_free(err);
    throw MemoryError("memory store " + path.string() + ": " + msg);
  }
}

// One transaction, begun with `begin` ("BEGIN" to read from one snapshot, "BEGIN IMMEDIATE"
// to write) and rolled back when its scope ends before commit().
class Transaction {
 public:
  Transaction(sqlite3* db, const std::filesystem::path& path, const char* begin)
      : db_(db), path_(path) {
    exec(db, path, begin);
  }
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    exec(db_, path_, "COMMIT");
    open_ = false;
  }

 private:
  sqlite3* db_;
  const std::filesystem::path& path_;
  bool open_ = true;
};

}  // namespace q9::memory::sqlite
