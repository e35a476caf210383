// The entity memory store on SQLite. Parallel sub-agents record into one database at once:
// every connection sets its busy timeout before anything else, and every write is one
// BEGIN IMMEDIATE transaction, so a record is either wholly there or not at all. A new
// database is built complete (WAL mode, schema) under a private name and linked into place,
// because the switch of a shared new file to WAL fails with "database is locked" whatever
// the busy timeout. A store that needs an upgrade, or whose WAL had to be recovered after a
// writer died, is checked for damage first; one this user may only read is opened read-only,
// and side files left by a user who may not write are removed once nobody has it open.
#include "memory/sqlite_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <system_error>
#include <thread>

#include "core/rename_no_replace.hpp"
#include "core/utf8.hpp"
#include "memory/input.hpp"
#include "memory/record_columns.hpp"
#include "memory/windows_1252.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

// SQLite tells that it recovered the WAL of a writer that died only through its log, which
// has to be set up before SQLite initialises.
bool recovered_wal = false;
void _log(void*, int code, const char*) {
  if (code == SQLITE_NOTICE_RECOVER_WAL) recovered_wal = true;
}
[[maybe_unused]] const int LOG_SET = sqlite3_config(SQLITE_CONFIG_LOG, _log, nullptr);

// How long a connection waits for a lock, and a reader for side files that come and go.
constexpr int BUSY_MS = 10000;
// The primary result code of the last failure thrown as MemoryError: by the time it is
// caught, a rollback or a finalised statement has replaced the connection's own.
int last_error = SQLITE_OK;

// Temporary stores of a first use killed before it finished; one that lives this long is not
// being built any more.
constexpr const char* NEW_PREFIX = ".memory.db.new-";
constexpr auto STALE_AFTER = std::chrono::minutes(10);

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
  const fs::path& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const fs::path& path, const char* sql) {
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
  Transaction(sqlite3* db, const fs::path& path, const char* begin) : db_(db), path_(path) {
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
  const fs::path& path_;
  bool open_ = true;
};

// A display name that gives a key: text that is not UTF-8 is read as windows-1252, and a
// name that is blank once normalised (zero-width characters only, say) is spelled out as
// code points. Older stores took both.
std::string _keyable_name(const std::string& name) {
  const std::string out = as_utf8(name);
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
  // Through a key no name can give, so no new key meets an old one on the way: keys are
  // text, and a blob never equals text.
  Stmt park(db, path, "UPDATE entities SET key = CAST(id AS BLOB) WHERE id = ?1");
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

// 3 -> 4: text that is not UTF-8 is read as windows-1252 in every column, as 2 -> 3 did for
// names only, so that every recall is JSON. A record whose repaired form is there already
// goes. (Upgrades before this one made such bytes U+FFFD; what they merged stays merged.)
void _repair_text(sqlite3* db, const fs::path& path) {
  constexpr int N = 6;
  std::vector<std::pair<int64_t, std::array<std::string, N>>> broken;
  {
    Stmt all(db, path,
             "SELECT id, kind, section, text, source, fact_date, recorded_at FROM records");
    while (all.step()) {
      std::array<std::string, N> cols;
      bool bad = false;
      for (int c = 0; c < N; ++c) {
        cols[c] = all.text(c + 1);
        bad = bad || utf8::find_invalid(cols[c]).has_value();
      }
      if (bad) broken.emplace_back(all.integer(0), std::move(cols));
    }
  }
  Stmt fix(db, path,
           "UPDATE OR IGNORE records SET kind = ?2, section = ?3, text = ?4, source = ?5,"
           " fact_date = ?6, recorded_at = ?7 WHERE id = ?1");
  Stmt drop(db, path, "DELETE FROM records WHERE id = ?1");
  for (const auto& [id, cols] : broken) {
    fix.bind(1, id);
    for (int c = 0; c < N; ++c) fix.bind(c + 2, as_utf8(cols[c]));
    fix.step();
    fix.reset();
    if (sqlite3_changes(db) == 0) {
      drop.bind(1, id).step();
      drop.reset();
    }
  }
  std::vector<std::pair<int64_t, std::string>> names;
  {
    Stmt all(db, path, "SELECT id, name FROM entities");
    while (all.step()) {
      if (utf8::find_invalid(all.text(1))) names.emplace_back(all.integer(0), all.text(1));
    }
  }
  Stmt rename(db, path, "UPDATE entities SET name = ?2 WHERE id = ?1");
  for (const auto& [id, name] : names) {
    rename.bind(1, id).bind(2, as_utf8(name)).step();
    rename.reset();
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
    _repair_text,
    // 4 -> 5: recall reads facts section by section and finds the latest date without a
    // pass over the records. IF NOT EXISTS: a store rebuilt from a dump has them already.
    [](sqlite3* db, const fs::path& path) {
      exec(db, path,
           "CREATE INDEX IF NOT EXISTS records_by_kind ON records (entity_id, kind, section, id);"
           "CREATE INDEX IF NOT EXISTS records_by_date ON records (entity_id, fact_date);");
    },
};
static_assert(std::size(MIGRATIONS) == SqliteStore::SCHEMA_VERSION);

int _version(sqlite3* db, const fs::path& path) {
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

// `text` as one word for a POSIX shell: as it is when that is safe, else in single quotes.
std::string _shell_word(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789/._-+@%:,=") == std::string::npos)
    return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Throws when SQLite's quick check finds the file damaged, saying how to save what it holds.
void _check_intact(sqlite3* db, const fs::path& path) {
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

// Refuses a file at the store's path that holds no store (an empty file, say, or another
// program's database): taking it as a new store would hide that the store was lost.
void _check_is_store(sqlite3* db, const fs::path& path) {
  if (_version(db, path) != 0) return;
  throw MemoryError("memory store " + path.string() +
                    " holds no memory store (it is empty or another program's database); move "
                    "it away and q9 starts a new store");
}

// Brings the schema up to date in one write transaction; a store another process has
// migrated meanwhile is left as it is.
void _migrate(sqlite3* db, const fs::path& path) {
  if (_version(db, path) == SqliteStore::SCHEMA_VERSION) return;
  Transaction t(db, path, "BEGIN IMMEDIATE");
  int v = _version(db, path);
  if (v > SqliteStore::SCHEMA_VERSION) {
    throw MemoryError("memory store " + path.string() + " has schema version " + std::to_string(v) +
                      ", newer than this q9 understands (" +
                      std::to_string(SqliteStore::SCHEMA_VERSION) + ")");
  }
  // An upgrade rewrites much of the store: never on top of damage.
  if (v > 0 && v < SqliteStore::SCHEMA_VERSION) _check_intact(db, path);
  for (; v < SqliteStore::SCHEMA_VERSION; ++v) MIGRATIONS[v](db, path);
  exec(db, path, ("PRAGMA user_version=" + std::to_string(SqliteStore::SCHEMA_VERSION)).c_str());
  t.commit();
}

// Opens `file` (an SQLite file name or file: URI) and sets up the connection; the busy
// timeout must come first, since the pragmas after it take locks. With `existing`, a file
// that holds no store is refused before a pragma changes it. Messages name `path`.
SqliteDb _connect(const std::string& file, int flags, const fs::path& path, bool existing = false) {
  sqlite3* raw = nullptr;
  // One thread uses a connection: SQLite need not lock each call.
  const int rc = sqlite3_open_v2(file.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteDb db(raw, sqlite3_close);  // a failed open leaves a handle to close too
  if (rc != SQLITE_OK) {
    last_error = rc & 0xff;
    std::string msg = db ? sqlite3_errmsg(raw) : "out of memory";
    if (const int e = db ? sqlite3_system_errno(raw) : 0)
      msg += std::string(" (") + std::strerror(e) + ")";
    throw MemoryError("memory store " + path.string() + ": " + msg);
  }
  sqlite3_busy_timeout(raw, BUSY_MS);
  if (existing) _check_is_store(raw, path);
  if (flags & SQLITE_OPEN_READWRITE) {
    exec(raw, path, "PRAGMA journal_mode=WAL");
    exec(raw, path, "PRAGMA synchronous=NORMAL");
    exec(raw, path, "PRAGMA foreign_keys=ON");
  }
  return db;
}

// Removes what first uses killed before they finished left in `dir`.
void _remove_stale(const fs::path& dir) {
  std::error_code ec;
  const auto old = fs::file_time_type::clock::now() - STALE_AFTER;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code age;
    if (it->path().filename().string().starts_with(NEW_PREFIX) && it->last_write_time(age) < old &&
        !age)
      fs::remove(it->path(), age);
  }
}

}  // namespace

SqliteStore::SqliteStore(const fs::path& dir)
    : dir_(dir), path_(dir / "memory.db"), db_(nullptr, sqlite3_close) {}

// Runs `body` until it succeeds, for a reader who may not write the store: while a writer
// opens, checkpoints or closes, the side files a reader depends on come and go, which SQLite
// reports as a store it cannot open or write. Gives up after the busy timeout.
template <typename F>
auto SqliteStore::_retrying(F&& body, const bool& handed_on) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_MS);
  std::minstd_rand pause(static_cast<unsigned>(::getpid()));
  for (bool again = false;; again = true) {
    last_error = SQLITE_OK;  // a failure with no SQLite error behind it is not retried
    try {
      if (again) _open_read_only();
      return body();
    } catch (const MemoryError&) {
      const bool passing = last_error == SQLITE_READONLY || last_error == SQLITE_CANTOPEN ||
                           last_error == SQLITE_BUSY || last_error == SQLITE_PROTOCOL;
      if (!read_only_ || !passing || handed_on || std::chrono::steady_clock::now() > until) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + pause() % 20));
  }
}

// Where a new store is made: memory.db, or the file that a dangling symbolic link there
// names when its folder exists (a link into a synced folder, say).
fs::path SqliteStore::_creation_target() const {
  std::error_code ec;
  if (!fs::is_symlink(path_, ec)) return path_;
  fs::path target = fs::read_symlink(path_, ec);
  if (ec) return path_;
  if (target.is_relative()) target = dir_ / target;
  if (fs::is_symlink(target, ec) || !fs::is_directory(target.parent_path(), ec)) {
    throw MemoryError("memory store " + path_.string() + " is a symbolic link to " +
                      target.string() + ", which does not exist and cannot be created");
  }
  return target;
}

// Builds a complete new store under a private name, then links it to `at` unless another
// process got there first. Closing the private connection folds its WAL back into the
// file, so what is linked is one whole database already in WAL mode.
void SqliteStore::_create(const fs::path& at) {
  std::random_device rd;
  const fs::path tmp =
      at.parent_path() / (NEW_PREFIX + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  // Made here, not by SQLite, whose error for a folder this user may not write names a
  // missing file. In a folder shared through a setgid group, the store is the group's too.
  const int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw MemoryError("cannot create memory store " + path_.string() + " in " +
                      at.parent_path().string() + ": " + std::strerror(errno));
  }
  struct stat folder {}, file {};
  if (::stat(at.parent_path().c_str(), &folder) == 0 && (folder.st_mode & S_ISGID) &&
      (folder.st_mode & S_IWGRP) && ::fstat(fd, &file) == 0)
    ::fchmod(fd, (file.st_mode & 07777) | S_IRGRP | S_IWGRP);
  ::close(fd);
  try {
    SqliteDb db = _connect(tmp, SQLITE_OPEN_READWRITE, path_);
    _migrate(db.get(), path_);
    if (sqlite3_close(db.get()) != SQLITE_OK) {
      throw MemoryError("memory store " + path_.string() + ": cannot close");
    }
    db.release();
    // A file system without hard links may still rename without replacing.
    if (::link(tmp.c_str(), at.c_str()) != 0 && errno != EEXIST) {
      const int err = files::rename_no_replace(tmp, at);
      if (err != 0 && err != EEXIST) {
        throw MemoryError("cannot create memory store " + path_.string() + ": " +
                          std::strerror(err));
      }
    }
  } catch (...) {
    std::error_code ec;
    for (const char* end : {"", "-wal", "-shm", "-journal"}) fs::remove(tmp.string() + end, ec);
    throw;
  }
  std::error_code ec;
  fs::remove(tmp, ec);
}

void SqliteStore::open(bool write) {
  db_.reset();  // before anything below takes or drops a lock on the file
  read_only_ = false;
  std::error_code ec;
  fs::create_directories(dir_, ec);
  if (ec) {
    throw MemoryError("cannot create memory store folder " + dir_.string() + ": " + ec.message());
  }
  if (!fs::exists(path_, ec)) _create(_creation_target());
  const fs::path real = fs::canonical(path_, ec), folder = real.parent_path();
  if (!ec) {
    const Access a = _access(real);
    if (!write && !a.writable) {
      read_only_ = true;
      _retrying([&] { _open_read_only(); });
      return;
    }
    if (write && !a.writable) throw MemoryError("memory store " + path_.string() + a.why);
  }
  recovered_wal = false;
  db_ = _connect(path_, SQLITE_OPEN_READWRITE, path_, true);
  _migrate(db_.get(), path_);
  if (recovered_wal) _check_intact(db_.get(), path_);
  if (!ec) _remove_stale(folder);
}

// Whether this user may write the store (`real`: where its links lead, as SQLite names the
// side files after it): the file, its side files, and the folder where SQLite makes side
// files that are missing. Side files another user left that this one
// cannot write are removed first when they are safe to remove (_clear_side_files).
SqliteStore::Access SqliteStore::_access(const fs::path& real) const {
  const fs::path folder = real.parent_path();
  const std::string p = real.string(), wal = p + "-wal", shm = p + "-shm";
  if (::access(p.c_str(), W_OK) != 0)
    return {false, ": this user may not write it (" + std::string(std::strerror(errno)) + ")"};
  const bool folder_ok = ::access(folder.c_str(), W_OK) == 0;
  auto unwritable = [](const std::string& f) { return ::access(f.c_str(), W_OK) != 0 && errno != ENOENT; };
  if (folder_ok && (unwritable(wal) || unwritable(shm))) _clear_side_files(p);
  for (const std::string& side : {wal, shm}) {
    if (::access(side.c_str(), W_OK) == 0) continue;
    if (errno != ENOENT) {
      return {false, ": this user may not write " + side + " (" + std::strerror(errno) +
                         "), which another user's q9 is using"};
    }
    if (!folder_ok) {
      return {false, ": this user may not write its folder " + folder.string() +
                         " (Permission denied), where SQLite keeps " + side};
    }
  }
  return {true, ""};
}

// Removes the side files a user who may not write the store left (SQLite makes them even for
// a reader in a folder it may write) when no other process has the store open and the -wal
// holds no transactions. A lock on SQLite's pending byte keeps new connections out meanwhile.
void SqliteStore::_clear_side_files(const std::string& p) const {
  const std::string wal = p + "-wal", shm = p + "-shm";
  const int db = ::open(p.c_str(), O_RDWR | O_CLOEXEC);
  if (db < 0) return;
  auto in_use = [](int fd) {  // F_GETLK sees the locks of other processes only
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    return fd >= 0 && (::fcntl(fd, F_GETLK, &l) != 0 || l.l_type != F_UNLCK);
  };
  struct flock pending {};
  pending.l_type = F_WRLCK;
  pending.l_whence = SEEK_SET;
  pending.l_start = 0x40000000;  // SQLite's PENDING_BYTE
  pending.l_len = 1;
  std::error_code ec;
  const auto wal_size = fs::exists(wal, ec) ? fs::file_size(wal, ec) : 0;
  if (::fcntl(db, F_SETLK, &pending) == 0 && !ec && wal_size <= 32 && !in_use(db)) {
    const int s = ::open(shm.c_str(), O_RDONLY | O_CLOEXEC);
    if (!in_use(s)) {
      ::unlink(wal.c_str());
      ::unlink(shm.c_str());
    }
    if (s >= 0) ::close(s);
  }
  ::close(db);  // drops the lock; no connection of this process has the file open
}

// A WAL store needs its -shm file, which a folder this user may not write cannot give
// unless a writer left it there; without one (and the -wal file that would say someone
// writes) the file is read as immutable.
void SqliteStore::_open_read_only() {
  db_.reset();
  std::error_code ec;
  const bool wal = fs::exists(fs::canonical(path_, ec).string() + "-wal", ec);
  db_ = wal ? _connect(path_, SQLITE_OPEN_READONLY, path_, true)
            : _connect("file:" + percent_encode(path_.string(), "/") + "?immutable=1",
                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, path_, true);
  if (const int v = _version(db_.get(), path_); v != SCHEMA_VERSION) {
    throw MemoryError("memory store " + path_.string() + " has schema version " +
                      std::to_string(v) + " and needs an upgrade to " +
                      std::to_string(SCHEMA_VERSION) +
                      ", which this user cannot write: run q9 once as its owner");
  }
}

Store::Added SqliteStore::insert(const std::string& key, const std::string& name, const Row& r) {
  sqlite3* db = db_.get();
  Transaction t(db, path_, "BEGIN IMMEDIATE");
  Stmt entity(db, path_, "INSERT OR IGNORE INTO entities (key, name) VALUES (?1, ?2)");
  entity.bind(1, key).bind(2, name).step();
  Stmt find(db, path_, "SELECT id, name FROM entities WHERE key = ?1");
  find.bind(1, key).step();
  Stmt ins(db, path_,
           "INSERT OR IGNORE INTO records (entity_id, " Q9_RECORD_COLUMNS
           ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  constexpr int AT = 2;  // the first column's parameter
  ins.bind(1, find.integer(0)).bind(AT + column::kind, word(*r.kind));
  ins.bind(AT + column::section, r.subject).bind(AT + column::text, r.body);
  ins.bind(AT + column::source, r.source).bind(AT + column::fact_date, r.date);
  ins.bind(AT + column::version, r.version).bind(AT + column::recorded_at, r.recorded).step();
  Added added{find.text(1), sqlite3_changes(db) > 0};
  t.commit();
  return added;
}

bool SqliteStore::load(const std::string& key, const std::function<void(const Head&)>& head,
                       const std::function<void(const RowView&)>& each) {
  bool handed_on = false;  // once something is, a failure cannot be tried again
  return _retrying([&] { return _load(key, head, each, handed_on); }, handed_on);
}

bool SqliteStore::_load(const std::string& key, const std::function<void(const Head&)>& head,
                        const std::function<void(const RowView&)>& each, bool& handed_on) {
  sqlite3* db = db_.get();
  Transaction t(db, path_, "BEGIN");  // one snapshot
  Stmt find(db, path_,
            "SELECT id, name, (SELECT max(fact_date) FROM records WHERE entity_id = e.id)"
            " FROM entities e WHERE key = ?1");
  if (!find.bind(1, key).step()) return false;
  const int64_t id = find.integer(0);
  // The sections in the order of their first fact, from the index alone, with their counts.
  Stmt sections(db, path_,
                "SELECT section, count(*) FROM records INDEXED BY records_by_kind"
                " WHERE entity_id = ?1 AND kind = ?2 GROUP BY section ORDER BY min(id)");
  sections.bind(1, id).bind(2, word(RecordKind::Fact));
  Head h{find.text(1), 0, find.text(2)};
  std::vector<std::string> order;
  while (sections.step()) {
    order.push_back(sections.text(0));
    h.facts += sections.integer(1);
  }
  handed_on = true;
  head(h);
  auto hand_on = [&](Stmt& rows) {
    while (rows.step()) {
      each(column::read<RowView>([&](int c) { return rows.view(c); },
                                 [&](int c) { return rows.integer(c); }));
    }
    rows.reset();
  };
#define Q9_RECORDS_OF_KIND                   \
  "SELECT " Q9_RECORD_COLUMNS                \
  " FROM records INDEXED BY records_by_kind" \
  " WHERE entity_id = ?1 AND kind = ?2"
  Stmt facts(db, path_, Q9_RECORDS_OF_KIND " AND section = ?3 ORDER BY id");
  facts.bind(1, id).bind(2, word(RecordKind::Fact));
  for (const std::string& section : order) hand_on(facts.bind(3, section));
  Stmt others(db, path_, Q9_RECORDS_OF_KIND " ORDER BY id");
  others.bind(1, id);
  for (RecordKind kind : {RecordKind::Negative, RecordKind::Contradiction})
    hand_on(others.bind(2, word(kind)));
  Stmt reports(db, path_, Q9_RECORDS_OF_KIND " ORDER BY version, id");
  hand_on(reports.bind(1, id).bind(2, word(RecordKind::Report)));
#undef Q9_RECORDS_OF_KIND
  t.commit();
  return true;
}

Store::Counts SqliteStore::count() {
  return _retrying([&] {
    Stmt s(db_.get(), path_,
           "SELECT (SELECT count(*) FROM entities), (SELECT count(*) FROM records)");
    s.step();
    return Counts{s.integer(0), s.integer(1)};
  });
}

std::vector<EntitySummary> SqliteStore::list() {
  return _retrying([&] {
    std::vector<EntitySummary> out;
    Stmt s(db_.get(), path_,
           "SELECT e.name, (SELECT count(*) FROM records WHERE entity_id = e.id AND kind = ?1),"
           " (SELECT max(fact_date) FROM records WHERE entity_id = e.id)"
           " FROM entities e ORDER BY e.key");
    s.bind(1, word(RecordKind::Fact));
    while (s.step()) {
      EntitySummary& e = out.emplace_back(EntitySummary{s.text(0), s.integer(1), s.text(2)});
      if (e.last_updated->empty()) e.last_updated.reset();
    }
    return out;
  });
}

}  // namespace q9::memory
