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
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <system_error>
#include <thread>

#include "core/rename_no_replace.hpp"
#include "core/utf8.hpp"
#include "memory/input.hpp"
#include "memory/record_columns.hpp"
#include "memory/sqlite_check.hpp"
#include "memory/sqlite_db.hpp"
#include "memory/sqlite_schema.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

using sqlite::check_intact;
using sqlite::check_is_store;
using sqlite::exec;
using sqlite::last_error;
using sqlite::migrate;
using sqlite::schema_version;
using sqlite::Stmt;
using sqlite::Transaction;

// SQLite tells that it recovered the WAL of a writer that died only through its log, which
// has to be set up before SQLite initialises.
bool recovered_wal = false;
void _log(void*, int code, const char*) {
  if (code == SQLITE_NOTICE_RECOVER_WAL) recovered_wal = true;
}
[[maybe_unused]] const int LOG_SET = sqlite3_config(SQLITE_CONFIG_LOG, _log, nullptr);

// How long a connection waits for a lock, and a reader for side files that come and go.
constexpr int BUSY_MS = 10000;

// Temporary stores of a first use killed before it finished; one that lives this long is not
// being built any more.
constexpr const char* NEW_PREFIX = ".memory.db.new-";
constexpr auto STALE_AFTER = std::chrono::minutes(10);

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
  if (existing) check_is_store(raw, path);
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
  struct stat folder {
  }, file{};
  if (::stat(at.parent_path().c_str(), &folder) == 0 && (folder.st_mode & S_ISGID) &&
      (folder.st_mode & S_IWGRP) && ::fstat(fd, &file) == 0)
    ::fchmod(fd, (file.st_mode & 07777) | S_IRGRP | S_IWGRP);
  ::close(fd);
  try {
    SqliteDb db = _connect(tmp, SQLITE_OPEN_READWRITE, path_);
    migrate(db.get(), path_);
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
  migrate(db_.get(), path_);
  if (recovered_wal) check_intact(db_.get(), path_);
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
  auto unwritable = [](const std::string& f) {
    return ::access(f.c_str(), W_OK) != 0 && errno != ENOENT;
  };
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
  if (const int v = schema_version(db_.get(), path_); v != SCHEMA_VERSION) {
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
