// The entity memory store on SQLite. Parallel sub-agents record into one database at once:
// every connection sets its busy timeout before switching to WAL (otherwise the pragma
// itself fails with "database is locked"), and every write is one BEGIN IMMEDIATE
// transaction, so a record is either wholly there or not at all.
#include "memory/store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iterator>
#include <system_error>

#include "core/config_dir.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

constexpr int kSchemaVersion = 2;

// Migrations, indexed by the schema version they lead from.
const char* const kMigrations[] = {
    // 0 -> 1
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
    "  UNIQUE (entity_id, kind, section, text, source, fact_date, version));",
    // 1 -> 2: an entity's records in the order they were recorded, without a sort
    "CREATE INDEX records_by_entity ON records (entity_id, id);",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

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
  std::string text(int col) {
    auto p = sqlite3_column_text(stmt_, col);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }
  bool null(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

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

std::string now_local() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

}  // namespace

std::string entity_key(std::string_view name) {
  std::string key;
  bool space = false;
  for (char c : name) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      space = !key.empty();
      continue;
    }
    if (space) key += ' ';
    space = false;
    key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (key.empty()) throw MemoryError("entity name is empty");
  return key;
}

bool is_calendar_date(std::string_view s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  int y = std::stoi(std::string(s.substr(0, 4)));
  int m = std::stoi(std::string(s.substr(5, 2)));
  int d = std::stoi(std::string(s.substr(8, 2)));
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::string today() { return now_local().substr(0, 10); }

fs::path Store::default_dir() { return config_dir() / "agent" / "memory"; }

Store::Store(const fs::path& dir) : path_(dir / "memory.db") {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw MemoryError("cannot create memory store folder " + dir.string() + ": " + ec.message());
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw MemoryError("memory store " + path_.string() + ": " + msg);
  }
  try {
    // The busy timeout must come first: the WAL switch itself takes a lock.
    sqlite3_busy_timeout(db_, 10000);
    exec(db_, path_, "PRAGMA journal_mode=WAL");
    exec(db_, path_, "PRAGMA synchronous=NORMAL");
    exec(db_, path_, "PRAGMA foreign_keys=ON");
    auto version = [&] {
      Stmt s(db_, path_, "PRAGMA user_version");
      s.step();
      return static_cast<int>(s.integer(0));
    };
    if (version() != kSchemaVersion) {
      write_transaction(db_, path_, [&] {
        int v = version();  // another process may have migrated meanwhile
        if (v > kSchemaVersion) {
          throw MemoryError("memory store " + path_.string() + " has schema version " +
                            std::to_string(v) + ", newer than this q9 understands (" +
                            std::to_string(kSchemaVersion) + ")");
        }
        for (; v < kSchemaVersion; ++v) exec(db_, path_, kMigrations[v]);
        exec(db_, path_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        return 0;
      });
    }
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

Store::~Store() { sqlite3_close(db_); }

std::string Store::insert(std::string_view entity, const Record& r) {
  const std::string key = entity_key(entity);
  std::string display(entity);
  return write_transaction(db_, path_, [&] {
    {
      Stmt s(db_, path_, "INSERT OR IGNORE INTO entities (key, name) VALUES (?1, ?2)");
      s.bind(1, key).bind(2, display).step();
    }
    Stmt find(db_, path_, "SELECT id, name FROM entities WHERE key = ?1");
    find.bind(1, key).step();
    const int64_t id = find.integer(0);
    const std::string name = find.text(1);
    Stmt ins(db_, path_,
             "INSERT OR IGNORE INTO records (entity_id, kind, section, text, source, fact_date,"
             " version, recorded_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    ins.bind(1, id).bind(2, r.kind).bind(3, r.section).bind(4, r.text).bind(5, r.source);
    ins.bind(6, r.date).bind(7, r.version).bind(8, now_local()).step();
    std::string what = r.kind + " for " + name;
    if (!r.section.empty()) what += " [" + r.section + "]";
    if (r.kind == "report") what += " v" + std::to_string(r.version);
    what += " (" + r.date + ")";
    return sqlite3_changes(db_) ? what : "already recorded: " + what;
  });
}

std::string Store::record_fact(std::string_view entity, std::string_view section,
                               std::string_view claim, std::string_view source,
                               const std::optional<std::string>& fact_date) {
  if (fact_date && !is_calendar_date(*fact_date)) {
    throw MemoryError("fact date '" + *fact_date + "' is not a calendar date in the form YYYY-MM-DD");
  }
  return insert(entity, {"fact", std::string(section), std::string(claim), std::string(source),
                         fact_date ? *fact_date : today(), 0});
}

std::string Store::record_negative(std::string_view entity, std::string_view note) {
  return insert(entity, {"negative", "", std::string(note), "", today(), 0});
}

std::string Store::record_contradiction(std::string_view entity, std::string_view topic,
                                        std::string_view text) {
  return insert(entity, {"contradiction", std::string(topic), std::string(text), "", today(), 0});
}

std::string Store::record_report(std::string_view entity, std::string_view path, int64_t version) {
  if (version < 1) throw MemoryError("report version must be 1 or more, not " + std::to_string(version));
  return insert(entity, {"report", "", std::string(path), "", today(), version});
}

json::Value Store::recall(const std::optional<std::string>& entity) {
  if (!entity) {
    Stmt e(db_, path_, "SELECT (SELECT count(*) FROM entities), (SELECT count(*) FROM records)");
    e.step();
    return json::Object{{"store", path_.string()},
                        {"entities", static_cast<long long>(e.integer(0))},
                        {"records", static_cast<long long>(e.integer(1))}};
  }
  const std::string key = entity_key(*entity);
  json::Object facts;
  json::Array negatives, contradictions;
  std::vector<std::pair<int64_t, json::Value>> reports;  // (version, record)
  long long fact_count = 0;
  std::string name = *entity;
  json::Value last_updated;
  // One read transaction, so the record is a consistent snapshot.
  exec(db_, path_, "BEGIN");
  try {
    Stmt find(db_, path_, "SELECT id, name FROM entities WHERE key = ?1");
    if (find.bind(1, key).step()) {
      const int64_t id = find.integer(0);
      name = find.text(1);
      Stmt rows(db_, path_,
                "SELECT kind, section, text, source, fact_date, version, recorded_at FROM records"
                " INDEXED BY records_by_entity WHERE entity_id = ?1 ORDER BY id");
      rows.bind(1, id);
      std::string latest;
      while (rows.step()) {
        std::string kind = rows.text(0), date = rows.text(4);
        if (date > latest) latest = date;
        if (kind == "fact") {
          ++fact_count;
          json::Object f{{"claim", rows.text(2)}, {"source", rows.text(3)}, {"date", date},
                         {"recorded", rows.text(6)}};
          std::string section = rows.text(1);
          if (json::Value* list = facts.find(section)) list->as_array().push_back(std::move(f));
          else facts.set(section, json::Array{std::move(f)});
        } else if (kind == "negative") {
          negatives.push_back(json::Object{{"note", rows.text(2)}, {"date", date}});
        } else if (kind == "contradiction") {
          contradictions.push_back(
              json::Object{{"topic", rows.text(1)}, {"text", rows.text(2)}, {"date", date}});
        } else if (kind == "report") {
          const int64_t version = rows.integer(5);
          reports.emplace_back(version, json::Object{{"path", rows.text(2)},
                                                     {"version", static_cast<long long>(version)},
                                                     {"date", date}});
        }
      }
      if (!latest.empty()) last_updated = latest;
    }
    exec(db_, path_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  // Reports by version, newest last; one version recorded twice keeps its recording order.
  std::stable_sort(reports.begin(), reports.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  json::Array report_list;
  for (auto& r : reports) report_list.push_back(std::move(r.second));
  return json::Object{{"entity", name},
                      {"fact_count", fact_count},
                      {"last_updated", last_updated},
                      {"facts", std::move(facts)},
                      {"negatives", std::move(negatives)},
                      {"contradictions", std::move(contradictions)},
                      {"reports", std::move(report_list)}};
}

std::vector<EntityItem> Store::all_entities() {
  std::vector<EntityItem> out;
  Stmt s(db_, path_, "SELECT name FROM entities ORDER BY key");
  while (s.step()) out.push_back({s.text(0)});
  return out;
}

}  // namespace q9::memory
