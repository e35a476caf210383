// The entity memory store on SQLite. Parallel sub-agents record into one database at once:
// every connection sets its busy timeout before anything else, and every write is one
// BEGIN IMMEDIATE transaction, so a record is either wholly there or not at all. A new
// database is built complete (WAL mode, schema) under a private name and linked into place,
// because the switch of a shared new file to WAL fails with "database is locked" whatever
// the busy timeout.
#include "memory/sqlite_store.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <system_error>

#include "core/utf8.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

// A prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3* db, const fs::path& path, const char* sql) : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail();
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int i, std::string_view s) {
    sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  // True while a row is available.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail();
  }
  void reset() { sqlite3_reset(stmt_); }
  std::string text(int col) {
    auto p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : "";
  }
  int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }

 private:
  [[noreturn]] void fail() {
    throw MemoryError("memory store " + path_.string() + ": " + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  const fs::path& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const fs::path& path, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errmsg(db);
    sqlite3_free(err);
    throw MemoryError("memory store " + path.string() + ": " + msg);
  }
}

// Runs `body` inside BEGIN IMMEDIATE ... COMMIT, rolling back when it throws.
template <typename F>
auto write_transaction(sqlite3* db, const fs::path& path, F&& body) {
  exec(db, path, "BEGIN IMMEDIATE");
  try {
    auto result = body();
    exec(db, path, "COMMIT");
    return result;
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// A display name that gives a key: bytes that are not UTF-8 become U+FFFD, and a name that
// is blank once normalised (zero-width characters only, say) is spelled out as code points.
// Older stores took both.
std::string _keyable_name(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size();) {
    const char32_t c = utf8::decode(name, i);
    utf8::append(out, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
  }
  try {
    entity_key(out);
    return out;
  } catch (const MemoryError&) {
    std::string spelled;
    for (size_t i = 0; i < out.size();) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%sU+%04X", spelled.empty() ? "" : " ",
                    static_cast<unsigned>(utf8::decode(out, i)));
      spelled += buf;
    }
    return spelled.empty() ? "U+0000" : spelled;
  }
}

// 2 -> 3: entities keyed by Unicode NFKC case folding instead of ASCII case. Entities whose
// keys now coincide become one: it keeps the display name first recorded (the lowest id)
// and every record, less exact duplicates.
void _rekey(sqlite3* db, const fs::path& path) {
  struct Kept {
    int64_t id;
    std::string key, name;  // name: empty when unchanged
  };
  std::vector<Kept> entities;
  std::map<std::string, int64_t> owner;             // new key -> surviving entity
  std::vector<std::pair<int64_t, int64_t>> merges;  // (entity, into)
  {
    Stmt all(db, path, "SELECT id, name FROM entities ORDER BY id");
    while (all.step()) {
      const std::string name = all.text(1), keyable = _keyable_name(name);
      const std::string key = entity_key(keyable);
      auto [it, first] = owner.emplace(key, all.integer(0));
      if (first)
        entities.push_back({all.integer(0), key, keyable == name ? "" : keyable});
      else
        merges.emplace_back(all.integer(0), it->second);
    }
  }
  for (auto [from, into] : merges) {
    // Of two equal records the one recorded first stays.
    Stmt dedupe(db, path,
                "DELETE FROM records WHERE entity_id IN (?1, ?2) AND EXISTS (SELECT 1 FROM"
                " records o WHERE o.entity_id IN (?1, ?2) AND o.id < records.id AND"
                " o.kind = records.kind AND o.section = records.section AND o.text = records.text"
                " AND o.source = records.source AND o.fact_date = records.fact_date AND"
                " o.version = records.version)");
    dedupe.bind(1, from).bind(2, into).step();
    Stmt move(db, path, "UPDATE records SET entity_id = ?1 WHERE entity_id = ?2");
    move.bind(1, into).bind(2, from).step();
    Stmt gone(db, path, "DELETE FROM entities WHERE id = ?1");
    gone.bind(1, from).step();
  }
  // Through a key no entity can have, so no new key meets an old one on the way.
  Stmt park(db, path, "UPDATE entities SET key = char(1) || id WHERE id = ?1");
  Stmt set(db, path, "UPDATE entities SET key = ?2 WHERE id = ?1");
  Stmt rename(db, path, "UPDATE entities SET name = ?2 WHERE id = ?1");
  for (const Kept& e : entities) {
    park.bind(1, e.id).step();
    park.reset();
  }
  for (const Kept& e : entities) {
    set.bind(1, e.id).bind(2, e.key).step();
    set.reset();
    if (!e.name.empty()) {
      rename.bind(1, e.id).bind(2, e.name).step();
      rename.reset();
    }
  }
}

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
    _rekey,
};
static_assert(std::size(MIGRATIONS) == SqliteStore::SCHEMA_VERSION);

int _version(sqlite3* db, const fs::path& path) {
  Stmt s(db, path, "PRAGMA user_version");
  s.step();
  return static_cast<int>(s.integer(0));
}

// Brings the schema up to date in one write transaction; a store another process has
// migrated meanwhile is left as it is.
void _migrate(sqlite3* db, const fs::path& path) {
  if (_version(db, path) == SqliteStore::SCHEMA_VERSION) return;
  write_transaction(db, path, [&] {
    int v = _version(db, path);
    if (v > SqliteStore::SCHEMA_VERSION) {
      throw MemoryError("memory store " + path.string() + " has schema version " +
                        std::to_string(v) + ", newer than this q9 understands (" +
                        std::to_string(SqliteStore::SCHEMA_VERSION) + ")");
    }
    for (; v < SqliteStore::SCHEMA_VERSION; ++v) MIGRATIONS[v](db, path);
    exec(db, path, ("PRAGMA user_version=" + std::to_string(SqliteStore::SCHEMA_VERSION)).c_str());
    return 0;
  });
}

// Opens `path` and sets up the connection; the busy timeout must come first, since the
// pragmas after it take locks.
sqlite3* _connect(const fs::path& path, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw MemoryError("memory store " + path.string() + ": " + msg);
  }
  try {
    sqlite3_busy_timeout(db, 10000);
    exec(db, path, "PRAGMA journal_mode=WAL");
    exec(db, path, "PRAGMA synchronous=NORMAL");
    exec(db, path, "PRAGMA foreign_keys=ON");
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  return db;
}

}  // namespace

SqliteStore::SqliteStore(const fs::path& dir) : dir_(dir), path_(dir / "memory.db") {}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

// Builds a complete new store under a private name, then links it to memory.db unless
// another process got there first. Closing the private connection folds its WAL back into
// the file, so what is linked is one whole database already in WAL mode.
void SqliteStore::_create() {
  std::random_device rd;
  const fs::path tmp =
      dir_ / (".memory.db.new-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  try {
    sqlite3* db = _connect(tmp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    try {
      _migrate(db, tmp);
    } catch (...) {
      sqlite3_close(db);
      throw;
    }
    if (sqlite3_close(db) != SQLITE_OK) {
      throw MemoryError("memory store " + tmp.string() + ": cannot close");
    }
    // A file system without hard links may still rename without replacing.
    if (::link(tmp.c_str(), path_.c_str()) != 0 && errno != EEXIST &&
        ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0 &&
        errno != EEXIST) {
      throw MemoryError("cannot create memory store " + path_.string() + ": " +
                        std::strerror(errno));
    }
  } catch (...) {
    std::error_code ec;
    for (const char* end : {"", "-wal", "-shm", "-journal"}) fs::remove(tmp.string() + end, ec);
    throw;
  }
  std::error_code ec;
  fs::remove(tmp, ec);
}

void SqliteStore::open() {
  std::error_code ec;
  fs::create_directories(dir_, ec);
  if (ec) {
    throw MemoryError("cannot create memory store folder " + dir_.string() + ": " + ec.message());
  }
  if (!fs::exists(path_, ec)) _create();
  db_ = _connect(path_, SQLITE_OPEN_READWRITE);
  _migrate(db_, path_);
}

Store::Added SqliteStore::insert(const std::string& key, const std::string& name, const Row& r) {
  return write_transaction(db_, path_, [&] {
    {
      Stmt s(db_, path_, "INSERT OR IGNORE INTO entities (key, name) VALUES (?1, ?2)");
      s.bind(1, key).bind(2, name).step();
    }
    Stmt find(db_, path_, "SELECT id, name FROM entities WHERE key = ?1");
    find.bind(1, key).step();
    const int64_t id = find.integer(0);
    Stmt ins(db_, path_,
             "INSERT OR IGNORE INTO records (entity_id, kind, section, text, source, fact_date,"
             " version, recorded_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    ins.bind(1, id).bind(2, r.kind).bind(3, r.section).bind(4, r.text).bind(5, r.source);
    ins.bind(6, r.date).bind(7, r.version).bind(8, r.recorded).step();
    return Added{find.text(1), sqlite3_changes(db_) > 0};
  });
}

std::optional<std::string> SqliteStore::load(const std::string& key,
                                             const std::function<void(Row&)>& each) {
  std::optional<std::string> name;
  // One read transaction, so the record is a consistent snapshot.
  exec(db_, path_, "BEGIN");
  try {
    Stmt find(db_, path_, "SELECT id, name FROM entities WHERE key = ?1");
    if (find.bind(1, key).step()) {
      name = find.text(1);
      Stmt rows(db_, path_,
                "SELECT kind, section, text, source, fact_date, version, recorded_at FROM records"
                " INDEXED BY records_by_entity WHERE entity_id = ?1 ORDER BY id");
      rows.bind(1, find.integer(0));
      Row r;
      while (rows.step()) {
        r.kind = rows.text(0);
        r.section = rows.text(1);
        r.text = rows.text(2);
        r.source = rows.text(3);
        r.date = rows.text(4);
        r.version = rows.integer(5);
        r.recorded = rows.text(6);
        each(r);
      }
    }
    exec(db_, path_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return name;
}

std::pair<int64_t, int64_t> SqliteStore::count() {
  Stmt s(db_, path_, "SELECT (SELECT count(*) FROM entities), (SELECT count(*) FROM records)");
  s.step();
  return {s.integer(0), s.integer(1)};
}

std::vector<std::string> SqliteStore::names() {
  std::vector<std::string> out;
  Stmt s(db_, path_, "SELECT name FROM entities ORDER BY key");
  while (s.step()) out.push_back(s.text(0));
  return out;
}

}  // namespace q9::memory
