// The fixture the SQLite store's tests share: a store folder of its own, a store as the first
// schema left it, and recall read back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <string>

#include "memory/store.hpp"
#include "testing/support.hpp"

namespace q9::memory {

class StoreTest : public ::testing::Test {
 protected:
  // A store as the first schema left it, then `sql`.
  void old_store(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "memory.db").c_str(), &db), SQLITE_OK);
    const std::string all =
        "CREATE TABLE entities (id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,"
        " name TEXT NOT NULL);"
        "CREATE TABLE records (id INTEGER PRIMARY KEY, entity_id INTEGER NOT NULL"
        " REFERENCES entities(id), kind TEXT NOT NULL, section TEXT NOT NULL,"
        " text TEXT NOT NULL, source TEXT NOT NULL, fact_date TEXT NOT NULL,"
        " version INTEGER NOT NULL, recorded_at TEXT NOT NULL, UNIQUE (entity_id,"
        " kind, section, text, source, fact_date, version));" +
        sql;
    EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  static constexpr auto error_of = test::message_of<MemoryError>;
  test::TempDir tmp_;
  const std::filesystem::path dir_ = tmp_.path();
};

// What recall writes, read back.
inline json::Value recalled(Store& s, const std::optional<std::string>& entity) {
  json::Writer out(json::Encoding::Utf8);
  s.recall(entity, out);
  return json::parse(out.finish());
}

}  // namespace q9::memory
