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

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <random>
#include <thread>

#include "memory/input.hpp"
#include "memory/pg_schema.hpp"
#include "memory/record_columns.hpp"

namespace q9::memory {
namespace {

using postgres::MIGRATIONS;
using postgres::SCHEMA_LOCK;

static_assert(std::size(MIGRATIONS) == PgStore::SCHEMA_VERSION);

// Limits for the transaction they are set in, so that a locked table or a stuck statement
// ends in an error within seconds instead of a hang. set_config(..., true) ends with the
// transaction: the limits hold through a transaction pooler and never reach another
// client's session. Limits the session has already (the URI's options, PGOPTIONS, the
// role's settings) are kept.
#define Q9_LIMITS                                                                              \
  "SELECT set_config('lock_timeout', '5s', true) WHERE current_setting('lock_timeout') = '0';" \
  " SELECT set_config('statement_timeout', '30s', true)"                                       \
  " WHERE current_setting('statement_timeout') = '0'"
// READ COMMITTED whatever the database's default: the statements are written for it, and
// under REPEATABLE READ or SERIALIZABLE concurrent records would fail to serialize.
constexpr const char* BEGIN = "BEGIN ISOLATION LEVEL READ COMMITTED; " Q9_LIMITS;
// One implicit transaction: the limits, then the schema version.
constexpr const char* SCHEMA_VERSION_NOW =
    Q9_LIMITS "; SELECT coalesce(max(version), 0) FROM q9_schema";
#undef Q9_LIMITS
constexpr const char* CONNECT_TIMEOUT = "10";
// A transaction that failed to serialize or was chosen to break a deadlock is retried up to
// five times, each after a short random pause.
constexpr int ATTEMPTS = 1 + 5;
// Recall reads an entity whole before handing any of it on, so that a reader that is slow
// to take the output never holds the statement open; past this many bytes it streams.
constexpr size_t WHOLE_ANSWER = 64 << 20;

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

// A query result of `store`, cleared on scope exit.
class PgStore::Result {
 public:
  Result(const PgStore& store, PGresult* r) : store_(store), pq_(store.pq_), r_(r) {}
  ~Result() { pq_.PQclear(r_); }
  Result(Result&& o) noexcept : store_(o.store_), pq_(o.pq_), r_(o.r_) { o.r_ = nullptr; }
  Result& operator=(Result&&) = delete;

  int rows() const { return pq_.PQntuples(r_); }
  bool null(int row, int col) const { return pq_.PQgetisnull(r_, row, col) != 0; }
  std::string text(int row, int col) const { return std::string(view(row, col)); }
  std::string_view view(int row, int col) const {
    return {pq_.PQgetvalue(r_, row, col), static_cast<size_t>(pq_.PQgetlength(r_, row, col))};
  }
  int64_t integer(int row, int col) const {
    const char* text = pq_.PQgetvalue(r_, row, col);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
      store_._fail(std::string("the server sent '") + text + "' where a whole number belongs");
    return v;
  }
  std::string changed() const { return pq_.PQcmdTuples(r_); }
  bool ok() const {
    const int status = pq_.PQresultStatus(r_);
    return status == pq::PGRES_COMMAND_OK || status == pq::PGRES_TUPLES_OK ||
           status == pq::PGRES_SINGLE_TUPLE;
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
  const PgStore& store_;
  const pq::Api& pq_;
  PGresult* r_;
};

PgStore::PgStore(const PgSettings& settings, const pq::Api& pq)
    : pq_(pq), settings_(settings), conn_(nullptr, pq.PQfinish) {
  char* err = nullptr;
  Options parsed(pq_, pq_.PQconninfoParse(settings_.uri.c_str(), &err));
  if (err) pq_.PQfreemem(err);  // it may quote the password
  if (!parsed) {
    throw MemoryError(
        "Q9_MEMORY_URL is not a valid PostgreSQL URI (see libpq's connection URIs; its text "
        "is not shown, since it may hold a password)");
  }
  secrets_ = parsed.secrets();
  if (!settings_.password.empty()) secrets_.push_back(settings_.password);
  location_ = parsed.location();
}

void PgStore::_fail(std::string_view message) const {
  std::string text = _one_line(message.empty() ? "unknown error" : message);
  for (const std::string& secret : secrets_) {
    for (size_t at; (at = text.find(secret)) != std::string::npos;)
      text.replace(at, secret.size(), "***");
  }
  throw MemoryError("memory store " + location_ + ": " + text);
}

namespace {

// A statement's parameters as libpq takes them: text with NUL ends.
struct Params {
  explicit Params(std::initializer_list<std::string_view> params)
      : owned(params.begin(), params.end()) {
    for (const std::string& p : owned) values.push_back(p.c_str());
  }
  int size() const { return static_cast<int>(values.size()); }
  std::vector<std::string> owned;
  std::vector<const char*> values;
};

}  // namespace

PgStore::Result PgStore::_run(const char* sql, std::initializer_list<std::string_view> params) {
  const Params p(params);
  Result r(*this, pq_.PQexecParams(conn_.get(), sql, p.size(), nullptr, p.values.data(), nullptr,
                                   nullptr, 0));
  return r;
}

void PgStore::_stream(const char* sql, std::initializer_list<std::string_view> params,
                      const std::function<void(const Result&, int)>& each) {
  PGconn* conn = conn_.get();
  const Params p(params);
  if (!pq_.PQsendQueryParams(conn, sql, p.size(), nullptr, p.values.data(), nullptr, nullptr, 0))
    _fail(pq_.PQerrorMessage(conn));
  // Refused only when the query could not be sent; the answer then comes whole.
  pq_.PQsetSingleRowMode(conn);
  // Every result is read, whatever happens, so that the connection takes the next statement.
  std::string error;
  std::exception_ptr thrown;
  while (PGresult* raw = pq_.PQgetResult(conn)) {
    const Result r(*this, raw);
    if (!error.empty() || thrown) continue;
    if (!r.ok()) {
      failed_state_ = r.state();
      error = r.error();
      if (error.empty()) error = "unknown error";
      continue;
    }
    try {
      for (int i = 0; i < r.rows(); ++i) each(r, i);
    } catch (...) {
      thrown = std::current_exception();
    }
  }
  if (thrown) std::rethrow_exception(thrown);
  if (!error.empty()) _fail(error);
}

void PgStore::open(bool) {
  Options parsed(pq_, pq_.PQconninfoParse(settings_.uri.c_str(), nullptr));
  std::vector<const char*> keys, values;
  auto put = [&](const char* k, const char* v) {
    keys.push_back(k);
    values.push_back(v);
  };
  // Before dbname: defaults the URI may override.
  put("fallback_application_name", "q9");
  if (!parsed.get("connect_timeout") && !settings_.connect_timeout) {
    put("connect_timeout", CONNECT_TIMEOUT);
  }
  put("dbname", settings_.uri.c_str());
  // After it: what the store needs whatever the URI says.
  put("client_encoding", "UTF8");
  put(nullptr, nullptr);
  // Replaces, and so closes, what a failed attempt before left.
  conn_.reset(pq_.PQconnectdbParams(keys.data(), values.data(), 1));
  PGconn* conn = conn_.get();
  if (!conn) throw MemoryError("memory store " + location_ + ": out of memory");
  Options actual(pq_, pq_.PQconninfo(conn));
  if (actual) location_ = actual.location();
  if (pq_.PQstatus(conn) != pq::CONNECTION_OK) {
    std::string message = pq_.PQerrorMessage(conn);
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
  location_ = _location(pq_.PQhost(conn), pq_.PQport(conn), pq_.PQdb(conn));
  pq_.PQsetNoticeProcessor(conn, _quiet, nullptr);
  // Other encodings cannot hold every name and claim (and SQL_ASCII checks nothing).
  const char* encoding = pq_.PQparameterStatus(conn, "server_encoding");
  if (encoding && std::string_view(encoding) != "UTF8") {
    _fail(std::string("the database's encoding is ") + encoding +
          "; the memory store needs a database created with ENCODING 'UTF8'");
  }

  Result r(*this, pq_.PQexec(conn, SCHEMA_VERSION_NOW));
  if (r.ok() && r.rows() == 1 && r.integer(0, 0) == SCHEMA_VERSION) return;
  if (!r.ok() && r.state() != "42P01") _fail(r.error());  // 42P01: no such table yet
  _migrate();
}

PgStore::Result PgStore::_exec(const char* sql, std::initializer_list<std::string_view> params) {
  Result r = _run(sql, params);
  if (!r.ok()) {
    failed_state_ = r.state();
    _fail(r.error());
  }
  return r;
}

// Runs `body` inside BEGIN ... COMMIT, rolling back when it throws, and again when the
// server ended it to serialize it or to break a deadlock.
template <typename F>
auto PgStore::_transaction(F&& body) {
  std::minstd_rand pause(std::random_device{}());
  for (int attempt = 1;; ++attempt) {
    failed_state_.clear();
    try {
      if (Result r(*this, pq_.PQexec(conn_.get(), BEGIN)); !r.ok()) {
        failed_state_ = r.state();
        _run("ROLLBACK");
        _fail(r.error());
      }
      auto result = body();
      _exec("COMMIT");
      return result;
    } catch (const MemoryError&) {
      _run("ROLLBACK");
      if (attempt == ATTEMPTS || (failed_state_ != "40001" && failed_state_ != "40P01")) throw;
    } catch (...) {
      _run("ROLLBACK");
      throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + pause() % 90));
  }
}

void PgStore::_migrate() {
  _transaction([&] {
    _exec(SCHEMA_LOCK);
    // Read again under the lock: another q9 may have just done the work.
    int v = 0;
    if (_exec("SELECT to_regclass('q9_schema') IS NOT NULL").text(0, 0) == "t") {
      v = static_cast<int>(_exec("SELECT coalesce(max(version), 0) FROM q9_schema").integer(0, 0));
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
    Result added = _exec("INSERT INTO q9_records (entity_id, " Q9_RECORD_COLUMNS
                         ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT DO NOTHING",
                         {e.text(0, 0), word(*r.kind), r.subject, r.body, r.source, r.date,
                          std::to_string(r.version), r.recorded});
    return Added{e.text(0, 1), added.changed() == "1"};
  });
}

bool PgStore::load(const std::string& key, const std::function<void(const Head&)>& head,
                   const std::function<void(const RowView&)>& each) {
  // One statement, so one snapshot, in the order recall prints: every row carries the head
  // (a window over all the entity's records), and facts go by the first id of their
  // section. An entity without records is one row of NULL records. The rows are held until
  // the transaction ends, up to WHOLE_ANSWER bytes: the time limit then covers the server's
  // work only, and a failure leaves nothing handed on.
  std::optional<Head> found;
  std::vector<Row> held;
  size_t held_bytes = 0;
  bool streaming = false;
  auto hand_on_held = [&] {
    if (found) head(*found);
    for (const Row& r : held)
      each({r.kind, r.subject, r.body, r.source, r.date, r.version, r.recorded});
    held.clear();
  };
  _transaction([&] {
    found.reset();
    held.clear();
    held_bytes = 0;
    _stream(
        "SELECT e.name, count(*) FILTER (WHERE r.kind = $2) OVER (),"
        " coalesce(max(r.fact_date COLLATE \"C\") OVER (), ''), " Q9_RECORD_COLUMNS
        " FROM q9_entities e LEFT JOIN q9_records r ON r.entity_id = e.id"
        " WHERE md5(e.key) = md5($1) AND e.key = $1"
        " ORDER BY CASE r.kind WHEN $2 THEN 0 WHEN $3 THEN 1 WHEN $4 THEN 2 WHEN $5 THEN 3 END,"
        " CASE WHEN r.kind = $2 THEN min(r.id) OVER (PARTITION BY r.kind, r.section COLLATE \"C\")"
        " END, CASE WHEN r.kind = $5 THEN r.version END, r.id",
        {key, word(RecordKind::Fact), word(RecordKind::Negative), word(RecordKind::Contradiction),
         word(RecordKind::Report)},
        [&](const Result& r, int i) {
          if (!found) found = Head{r.text(i, 0), r.integer(i, 1), r.text(i, 2)};
          if (r.null(i, 3)) return;
          const RowView row = column::read<RowView>([&](int c) { return r.view(i, c + 3); },
                                                    [&](int c) { return r.integer(i, c + 3); });
          if (!row.kind) return;
          if (streaming) return each(row);
          held.push_back({row.kind, std::string(row.subject), std::string(row.body),
                          std::string(row.source), std::string(row.date), row.version,
                          std::string(row.recorded)});
          held_bytes += row.subject.size() + row.body.size() + row.source.size() + 64;
          if (held_bytes > WHOLE_ANSWER) {
            streaming = true;  // from here on a failure is seen midway, as it always was
            hand_on_held();
            found.reset();
          }
        });
    return 0;
  });
  const bool any = found || streaming;
  hand_on_held();
  return any;
}

Store::Counts PgStore::count() {
  Result r = _transaction([&] {
    return _exec("SELECT (SELECT count(*) FROM q9_entities), (SELECT count(*) FROM q9_records)");
  });
  return {r.integer(0, 0), r.integer(0, 1)};
}

std::vector<EntitySummary> PgStore::list() {
  Result r = _transaction([&] {
    return _exec(
        "SELECT e.name, count(r.id) FILTER (WHERE r.kind = $1),"
        " max(r.fact_date COLLATE \"C\") FROM q9_entities e"
        " LEFT JOIN q9_records r ON r.entity_id = e.id GROUP BY e.id ORDER BY e.key COLLATE \"C\"",
        {word(RecordKind::Fact)});
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
