// The entity memory store on PostgreSQL. Many agents on many machines write at once:
// an entity is created or found in one statement (INSERT ... ON CONFLICT DO UPDATE ...
// RETURNING), a record is added with ON CONFLICT DO NOTHING, both against unique indexes
// over md5() of the texts (an index entry is capped at 2704 bytes), and the schema is
// created or upgraded in one transaction holding an advisory lock, the version read again
// once the lock is held. Orders visible to people compare keys byte by byte (COLLATE "C"),
// whatever collation the database was created with. Everything works through a
// transaction pooler: no session state, no named statements, and limits set per
// transaction, never as start-up options (which poolers refuse).
#include "memory/pg_store.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace q9::memory {
namespace {

// Any fixed number; it only has to be the same for every q9.
constexpr const char* SCHEMA_LOCK = "SELECT pg_advisory_xact_lock(7461902253311)";

// Statements leading from each schema version to the next.
const std::vector<std::vector<const char*>> MIGRATIONS = {
    // 0 -> 1
    {
        "CREATE TABLE q9_schema (version integer NOT NULL)",
        "INSERT INTO q9_schema VALUES (0)",
        "CREATE TABLE q9_entities ("
        "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        "  key text COLLATE \"C\" NOT NULL UNIQUE,"
        "  name text NOT NULL)",
        "CREATE TABLE q9_records ("
        "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        "  entity_id bigint NOT NULL REFERENCES q9_entities (id),"
        "  kind text NOT NULL,"
        "  section text NOT NULL,"
        "  text text NOT NULL,"
        "  source text NOT NULL,"
        "  fact_date text NOT NULL,"
        "  version bigint NOT NULL,"
        "  recorded_at text NOT NULL)",
        "CREATE UNIQUE INDEX q9_records_once ON q9_records"
        "  (entity_id, kind, fact_date, version, md5(section), md5(text), md5(source))",
        "CREATE INDEX q9_records_by_entity ON q9_records (entity_id, id)",
    },
    // 1 -> 2: keys of any length (a btree entry holds at most 2704 bytes)
    {
        "ALTER TABLE q9_entities DROP CONSTRAINT IF EXISTS q9_entities_key_key",
        "CREATE UNIQUE INDEX q9_entities_key ON q9_entities (md5(key))",
    },
};

// Limits for the transaction they are set in, so that a locked table or a stuck statement
// ends in an error within seconds instead of a hang. set_config(..., true) ends with the
// transaction: the limits hold through a transaction pooler and never reach another
// client's session. Limits the session has already (the URI's options, PGOPTIONS, the
// role's settings) are kept.
#define Q9_LIMITS                                                                              \
  "SELECT set_config('lock_timeout', '5s', true) WHERE current_setting('lock_timeout') = '0';" \
  " SELECT set_config('statement_timeout', '30s', true)"                                       \
  " WHERE current_setting('statement_timeout') = '0'"
constexpr const char* BEGIN = "BEGIN; " Q9_LIMITS;
// One implicit transaction: the limits, then the schema version.
constexpr const char* SCHEMA_VERSION_NOW = Q9_LIMITS "; SELECT max(version) FROM q9_schema";
#undef Q9_LIMITS
constexpr const char* CONNECT_TIMEOUT = "10";

void _quiet(void*, const char*) {}

// libpq's messages run over several lines (one per address tried, hints indented).
std::string _one_line(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find('\n', i);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(i, end - i);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
      line.remove_suffix(1);
    if (!line.empty()) {
      if (!out.empty()) out += "; ";
      out += line;
    }
    i = end + 1;
  }
  return out;
}

// postgresql://HOST:PORT/DATABASE, each part percent-encoded and left out when absent.
std::string _location(const char* host, const char* port, const char* db) {
  const std::string h = host ? host : "";
  std::string out = "postgresql://";
  if (h.find(':') != std::string::npos && h.find('/') == std::string::npos) {
    out.append("[").append(h).append("]");  // an IPv6 address
  } else {
    out.append(percent_encode(h));
  }
  if (port && *port) out.append(":").append(percent_encode(port));
  out.append("/");
  if (db) out.append(percent_encode(db));
  return out;
}

// Options as parsed by libpq, freed on scope exit.
class Options {
 public:
  Options(const pq::Api& pq, PQconninfoOption* o) : pq_(pq), o_(o) {}
  ~Options() {
    if (o_) pq_.PQconninfoFree(o_);
  }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  explicit operator bool() const { return o_ != nullptr; }
  const char* get(std::string_view keyword) const {
    for (const PQconninfoOption* o = o_; o && o->keyword; ++o) {
      if (keyword == o->keyword) return o->val && *o->val ? o->val : nullptr;
    }
    return nullptr;
  }
  std::vector<std::string> secrets() const {
    std::vector<std::string> out;
    for (const PQconninfoOption* o = o_; o && o->keyword; ++o) {
      if (o->dispchar && std::strchr(o->dispchar, '*') && o->val && *o->val) out.push_back(o->val);
    }
    return out;
  }
  std::string location() const {
    return _location(get("host") ? get("host") : get("hostaddr"), get("port"), get("dbname"));
  }

 private:
  const pq::Api& pq_;
  PQconninfoOption* o_;
};

}  // namespace

// A query result, cleared on scope exit.
class PgStore::Result {
 public:
  Result(const pq::Api& pq, PGresult* r) : pq_(pq), r_(r) {}
  ~Result() { pq_.PQclear(r_); }
  Result(Result&& o) noexcept : pq_(o.pq_), r_(o.r_) { o.r_ = nullptr; }
  Result& operator=(Result&&) = delete;

  int rows() const { return pq_.PQntuples(r_); }
  bool null(int row, int col) const { return pq_.PQgetisnull(r_, row, col) != 0; }
  std::string text(int row, int col) const {
    return std::string(pq_.PQgetvalue(r_, row, col),
                       static_cast<size_t>(pq_.PQgetlength(r_, row, col)));
  }
  int64_t integer(int row, int col) const {
    return std::strtoll(pq_.PQgetvalue(r_, row, col), nullptr, 10);
  }
  std::string changed() const { return pq_.PQcmdTuples(r_); }
  bool ok() const {
    const int status = pq_.PQresultStatus(r_);
    return status == pq::PGRES_COMMAND_OK || status == pq::PGRES_TUPLES_OK;
  }
  // The SQLSTATE code of a failed statement, or "".
  std::string state() const {
    const char* s = pq_.PQresultErrorField(r_, pq::PG_DIAG_SQLSTATE);
    return s ? s : "";
  }
  // The server's primary message, without the statement excerpt that follows it.
  const char* error() const {
    const char* primary = pq_.PQresultErrorField(r_, pq::PG_DIAG_MESSAGE_PRIMARY);
    return primary ? primary : pq_.PQresultErrorMessage(r_);
  }

 private:
  const pq::Api& pq_;
  PGresult* r_;
};

PgStore::PgStore(const std::string& uri) : pq_(pq::api()), uri_(uri) {
  char* err = nullptr;
  Options parsed(pq_, pq_.PQconninfoParse(uri.c_str(), &err));
  if (err) pq_.PQfreemem(err);  // it may quote the password
  if (!parsed) {
    throw MemoryError(
        "Q9_MEMORY_URL is not a valid PostgreSQL URI (see libpq's connection URIs; its text "
        "is not shown, since it may hold a password)");
  }
  secrets_ = parsed.secrets();
  if (const char* pw = std::getenv("PGPASSWORD"); pw && *pw) secrets_.push_back(pw);
  location_ = parsed.location();
}

PgStore::~PgStore() {
  if (conn_) pq_.PQfinish(conn_);
}

void PgStore::_fail(std::string_view message) const {
  std::string text = _one_line(message.empty() ? "unknown error" : message);
  for (const std::string& secret : secrets_) {
    for (size_t at; (at = text.find(secret)) != std::string::npos;)
      text.replace(at, secret.size(), "***");
  }
  throw MemoryError("memory store " + location_ + ": " + text);
}

PgStore::Result PgStore::_run(const char* sql, std::initializer_list<std::string_view> params) {
  std::vector<std::string> owned(params.begin(), params.end());  // libpq wants NUL ends
  std::vector<const char*> values;
  for (const std::string& p : owned) values.push_back(p.c_str());
  Result r(pq_, pq_.PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0));
  return r;
}

void PgStore::open(bool) {
  Options parsed(pq_, pq_.PQconninfoParse(uri_.c_str(), nullptr));
  std::vector<const char*> keys, values;
  auto put = [&](const char* k, const char* v) {
    keys.push_back(k);
    values.push_back(v);
  };
  // Before dbname: defaults the URI may override.
  put("fallback_application_name", "q9");
  const char* env_timeout = std::getenv("PGCONNECT_TIMEOUT");
  if (!parsed.get("connect_timeout") && !(env_timeout && *env_timeout)) {
    put("connect_timeout", CONNECT_TIMEOUT);
  }
  put("dbname", uri_.c_str());
  // After it: what the store needs whatever the URI says.
  put("client_encoding", "UTF8");
  put(nullptr, nullptr);
  conn_ = pq_.PQconnectdbParams(keys.data(), values.data(), 1);
  if (!conn_) throw MemoryError("memory store " + location_ + ": out of memory");
  Options actual(pq_, pq_.PQconninfo(conn_));
  if (actual) location_ = actual.location();
  if (pq_.PQstatus(conn_) != pq::CONNECTION_OK) {
    std::string message = pq_.PQerrorMessage(conn_);
    // libpq does not say which certificates it trusted.
    if (message.find("certificate verify failed") != std::string::npos) {
      const char* root = actual ? actual.get("sslrootcert") : nullptr;
      message = _one_line(message) +
                " (the server's certificate is not signed by a certificate in " +
                (root ? root : "~/.postgresql/root.crt") + ")";
    }
    _fail(message);
  }
  // The server the host list led to.
  location_ = _location(pq_.PQhost(conn_), pq_.PQport(conn_), pq_.PQdb(conn_));
  pq_.PQsetNoticeProcessor(conn_, _quiet, nullptr);
  // Other encodings cannot hold every name and claim (and SQL_ASCII checks nothing).
  const char* encoding = pq_.PQparameterStatus(conn_, "server_encoding");
  if (encoding && std::string_view(encoding) != "UTF8") {
    _fail(std::string("the database's encoding is ") + encoding +
          "; the memory store needs a database created with ENCODING 'UTF8'");
  }

  Result r(pq_, pq_.PQexec(conn_, SCHEMA_VERSION_NOW));
  if (r.ok() && r.rows() == 1 && r.integer(0, 0) == SCHEMA_VERSION) return;
  if (!r.ok() && r.state() != "42P01") _fail(r.error());  // 42P01: no such table yet
  _migrate();
}

PgStore::Result PgStore::_exec(const char* sql, std::initializer_list<std::string_view> params) {
  Result r = _run(sql, params);
  if (!r.ok()) _fail(r.error());
  return r;
}

// Runs `body` inside BEGIN ... COMMIT, rolling back when it throws.
template <typename F>
auto PgStore::_transaction(F&& body) {
  if (Result r(pq_, pq_.PQexec(conn_, BEGIN)); !r.ok()) {
    _run("ROLLBACK");
    _fail(r.error());
  }
  try {
    auto result = body();
    _exec("COMMIT");
    return result;
  } catch (...) {
    _run("ROLLBACK");
    throw;
  }
}

void PgStore::_migrate() {
  _transaction([&] {
    _exec(SCHEMA_LOCK);
    // Read again under the lock: another q9 may have just done the work.
    int v = 0;
    if (_exec("SELECT to_regclass('q9_schema') IS NOT NULL").text(0, 0) == "t") {
      v = static_cast<int>(_exec("SELECT max(version) FROM q9_schema").integer(0, 0));
    }
    if (v > SCHEMA_VERSION) {
      throw MemoryError("memory store " + location_ + " has schema version " + std::to_string(v) +
                        ", newer than this q9 understands (" + std::to_string(SCHEMA_VERSION) +
                        ")");
    }
    if (v == SCHEMA_VERSION) return 0;  // done while this one waited for the lock
    for (; v < SCHEMA_VERSION; ++v) {
      for (const char* sql : MIGRATIONS[static_cast<size_t>(v)]) _exec(sql);
    }
    _exec("UPDATE q9_schema SET version = $1", {std::to_string(SCHEMA_VERSION)});
    return 0;
  });
}

Store::Added PgStore::insert(const std::string& key, const std::string& name, const Row& r) {
  return _transaction([&] {
    // One statement creates or finds the entity and locks its row until the commit.
    Result e = _exec(
        "INSERT INTO q9_entities (key, name) VALUES ($1, $2) ON CONFLICT (md5(key))"
        " DO UPDATE SET name = q9_entities.name RETURNING id, name, key = $1",
        {key, name});
    if (e.text(0, 2) != "t") _fail("the key of " + name + " has the md5 of another entity's key");
    Result added = _exec(
        "INSERT INTO q9_records (entity_id, kind, section, text, source, fact_date, version,"
        " recorded_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT DO NOTHING",
        {e.text(0, 0), r.kind, r.section, r.text, r.source, r.date, std::to_string(r.version),
         r.recorded});
    return Added{e.text(0, 1), added.changed() == "1"};
  });
}

std::optional<std::string> PgStore::load(const std::string& key,
                                         const std::function<void(Row&)>& each) {
  // One statement, so one snapshot.
  Result r = _transaction([&] {
    return _exec(
        "SELECT e.name, r.kind, r.section, r.text, r.source, r.fact_date, r.version,"
        " r.recorded_at FROM q9_entities e LEFT JOIN q9_records r ON r.entity_id = e.id"
        " WHERE md5(e.key) = md5($1) AND e.key = $1 ORDER BY r.id",
        {key});
  });
  if (r.rows() == 0) return std::nullopt;
  Row row;
  for (int i = 0; i < r.rows(); ++i) {
    if (r.null(i, 1)) continue;  // an entity without records
    row.kind = r.text(i, 1);
    row.section = r.text(i, 2);
    row.text = r.text(i, 3);
    row.source = r.text(i, 4);
    row.date = r.text(i, 5);
    row.version = r.integer(i, 6);
    row.recorded = r.text(i, 7);
    each(row);
  }
  return r.text(0, 0);
}

std::pair<int64_t, int64_t> PgStore::count() {
  Result r = _transaction([&] {
    return _exec("SELECT (SELECT count(*) FROM q9_entities), (SELECT count(*) FROM q9_records)");
  });
  return {r.integer(0, 0), r.integer(0, 1)};
}

std::vector<EntitySummary> PgStore::list() {
  Result r = _transaction([&] {
    return _exec(
        "SELECT e.name, count(r.id) FILTER (WHERE r.kind = 'fact'),"
        " max(r.fact_date COLLATE \"C\") FROM q9_entities e"
        " LEFT JOIN q9_records r ON r.entity_id = e.id GROUP BY e.id ORDER BY e.key COLLATE \"C\"");
  });
  std::vector<EntitySummary> out;
  out.reserve(static_cast<size_t>(r.rows()));
  for (int i = 0; i < r.rows(); ++i) {
    EntitySummary& e = out.emplace_back(EntitySummary{r.text(i, 0), r.integer(i, 1), {}});
    if (!r.null(i, 2) && r.text(i, 2) != "") e.last_updated = r.text(i, 2);
  }
  return out;
}

}  // namespace q9::memory
