// The PostgreSQL store without a server: a fake client library answers, so what the store
// makes of libpq's words (one line, no password, where the store is) is pinned here. The
// store against real servers is tests/memory/memory_pg.sh.
#include "memory/pg_store.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "testing/support.hpp"

// libpq keeps these opaque; the fake defines them.
struct pg_conn {
  int status;
};
struct pg_result {
  int status;
  std::vector<std::vector<std::string>> rows;
  std::string error = "";
  std::string state = "";  // SQLSTATE
};

namespace q9::memory {
namespace {

PQconninfoOption option(const char* keyword, const char* value, const char* dispchar = "") {
  auto text = [](const char* s) { return const_cast<char*>(s); };
  return {text(keyword), nullptr, nullptr, text(value), nullptr, text(dispchar), 0};
}

// What the fake library answers; each test sets it up.
struct Server {
  std::vector<PQconninfoOption> uri;  // the URI parsed, ending with an empty option
  std::string error;                  // why connecting fails; empty: it connects
  std::string host = "db.example", port = "5432", db = "research";
  std::function<pg_result(std::string_view sql)> answer = [](std::string_view sql) {
    return pg_result{pq::PGRES_TUPLES_OK, {{sql.find("q9_schema") != sql.npos ? "2" : "7", "9"}}};
  };
  size_t fail_after = SIZE_MAX;  // a streamed answer fails after this many rows
  std::deque<pg_result> sent;    // what a streamed query has still to hand over
  bool default_timeout = false;  // whether the store asked for its connect_timeout
  int connected = 0, finished = 0;
} server;

pq::Api fake() {
  pq::Api a{};
  a.PQconninfoParse = [](const char*, char** err) {
    if (err) *err = nullptr;
    return server.uri.data();
  };
  a.PQconninfo = [](PGconn*) { return server.uri.data(); };
  a.PQconninfoFree = [](PQconninfoOption*) {};
  a.PQconnectdbParams = [](const char* const* keys, const char* const*, int) {
    for (server.default_timeout = false; *keys; ++keys)
      server.default_timeout |= std::string_view(*keys) == "connect_timeout";
    ++server.connected;
    return new pg_conn{server.error.empty() ? pq::CONNECTION_OK : 1};
  };
  a.PQstatus = [](const PGconn* c) { return c->status; };
  a.PQerrorMessage = [](const PGconn*) { return server.error.data(); };
  a.PQsetNoticeProcessor = [](PGconn*, PQnoticeProcessor p, void*) { return p; };
  a.PQfinish = [](PGconn* c) { ++server.finished, delete c; };
  a.PQparameterStatus = [](const PGconn*, const char*) { return const_cast<char*>("UTF8"); };
  a.PQhost = [](const PGconn*) { return server.host.data(); };
  a.PQport = [](const PGconn*) { return server.port.data(); };
  a.PQdb = [](const PGconn*) { return server.db.data(); };
  a.PQexec = [](PGconn*, const char* sql) { return new pg_result(server.answer(sql)); };
  a.PQexecParams = [](PGconn*, const char* sql, int, const Oid*, const char* const*, const int*,
                      const int*, int) { return new pg_result(server.answer(sql)); };
  // A streamed answer comes a row at a time, then ends or fails.
  a.PQsendQueryParams = [](PGconn*, const char* sql, int, const Oid*, const char* const*,
                           const int*, const int*, int) {
    pg_result whole = server.answer(sql);
    for (size_t i = 0; i < whole.rows.size(); ++i) {
      if (i == server.fail_after) {
        server.sent.push_back({7, {}, "canceling statement due to statement timeout"});
        return 1;
      }
      server.sent.push_back({pq::PGRES_SINGLE_TUPLE, {whole.rows[i]}});
    }
    server.sent.push_back({whole.status, {}});
    return 1;
  };
  a.PQsetSingleRowMode = [](PGconn*) { return 1; };
  a.PQgetResult = [](PGconn*) -> PGresult* {
    if (server.sent.empty()) return nullptr;
    auto* r = new pg_result(std::move(server.sent.front()));
    server.sent.pop_front();
    return r;
  };
  a.PQresultStatus = [](const PGresult* r) { return r->status; };
  a.PQresultErrorMessage = [](const PGresult* r) { return const_cast<char*>(r->error.c_str()); };
  a.PQresultErrorField = [](const PGresult* r, int field) -> char* {
    return field == pq::PG_DIAG_SQLSTATE && !r->state.empty() ? const_cast<char*>(r->state.c_str())
                                                              : nullptr;
  };
  a.PQntuples = [](const PGresult* r) { return static_cast<int>(r->rows.size()); };
  a.PQgetvalue = [](const PGresult* r, int i, int c) {
    return const_cast<char*>(r->rows[i][c].c_str());
  };
  a.PQgetlength = [](const PGresult* r, int i, int c) {
    return static_cast<int>(r->rows[i][c].size());
  };
  a.PQgetisnull = [](const PGresult*, int, int) { return 0; };
  a.PQcmdTuples = [](PGresult*) { return const_cast<char*>("1"); };
  a.PQclear = [](PGresult* r) { delete r; };
  a.PQfreemem = [](void*) {};
  return a;
}
const pq::Api FAKE = fake();

class PgStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { server = Server{}; }
  // The message of the MemoryError that recalling `entity` (or the store's summary) throws,
  // or "".
  static std::string error_of(PgStore& store,
                              const std::optional<std::string>& entity = std::nullopt) {
    return test::message_of<MemoryError>([&] {
      json::Writer out(json::Encoding::Utf8);
      store.recall(entity, out);
    });
  }
};

// Before connecting the store is where the URI says; once connected, where the host list led.
TEST_F(PgStoreTest, LocationNamesHostPortAndDatabaseOnly) {
  struct {
    std::vector<PQconninfoOption> uri;
    const char* location;
  } rows[] = {
      {{option("host", "db.example"), option("port", "5432"), option("dbname", "research"),
        option("user", "analyst"), option("password", "pw", "*")},
       "postgresql://db.example:5432/research"},
      {{option("host", "/run/postgresql"), option("dbname", "q9 team")},
       "postgresql://%2Frun%2Fpostgresql/q9%20team"},
      {{option("hostaddr", "::1"), option("port", "5433")}, "postgresql://[::1]:5433/"},
  };
  for (auto& row : rows) {
    server.uri = row.uri;
    server.uri.push_back(option(nullptr, nullptr));
    EXPECT_EQ(PgStore({.uri = "postgresql://"}, FAKE).location(), row.location);
  }
  server.host = "replica.example";
  PgStore store({.uri = "postgresql://"}, FAKE);
  json::Writer out(json::Encoding::Utf8);
  store.recall(std::nullopt, out);
  EXPECT_EQ(*json::parse(out.finish()).as_object().find("store"),
            json::Value("postgresql://replica.example:5432/research"));
}

// libpq's messages run over several lines and may quote the password, from the URI or from
// PGPASSWORD. A store that fails to connect tries again on the next call, closing the first.
TEST_F(PgStoreTest, ConnectionFailuresAreOneLineWithoutPasswords) {
  const std::string at = "memory store postgresql://db.example:5432/research: ";
  struct {
    const char* error;
    std::string message;
  } rows[] = {
      {"connection to server at \"db.example\" failed: FATAL:  password authentication failed "
       "for user \"Uri-pw\"\n\tDETAIL:  Env-pw \r\n\n",
       at + "connection to server at \"db.example\" failed: FATAL:  password authentication "
            "failed for user \"***\"; DETAIL:  ***"},
      {"SSL error: certificate verify failed\n",
       at + "SSL error: certificate verify failed (the server's certificate is not signed by a "
            "certificate in /etc/q9/ca.crt)"},
  };
  for (const auto& row : rows) {
    server.uri = {option("host", "db.example"),
                  option("port", "5432"),
                  option("dbname", "research"),
                  option("password", "Uri-pw", "*"),
                  option("sslrootcert", "/etc/q9/ca.crt"),
                  option(nullptr, nullptr)};
    server.error = row.error;
    {
      PgStore store({.uri = "postgresql://", .password = "Env-pw"}, FAKE);
      EXPECT_EQ(error_of(store), row.message);
      EXPECT_EQ(error_of(store), row.message);
    }
    EXPECT_EQ(server.finished, server.connected);
  }
}

TEST_F(PgStoreTest, ConnectTimeoutIsTheStoresUnlessTheEnvironmentSetsOne) {
  server.uri = {option(nullptr, nullptr)};
  for (const bool set : {false, true}) {
    PgStore store({.uri = "postgresql://", .connect_timeout = set}, FAKE);
    EXPECT_EQ(error_of(store), "");
    EXPECT_EQ(server.default_timeout, !set);
  }
}

TEST_F(PgStoreTest, AnAnswerThatIsNotANumberIsAnError) {
  server.uri = {option("host", "db"), option(nullptr, nullptr)};
  server.answer = [](std::string_view sql) {
    return pg_result{pq::PGRES_TUPLES_OK, {{sql.find("q9_schema") != sql.npos ? "2" : "", "12"}}};
  };
  PgStore store({.uri = "postgresql://"}, FAKE);
  EXPECT_EQ(error_of(store),
            "memory store postgresql://db.example:5432/research: the server sent '' where a whole "
            "number belongs");
}

// Recall takes the head from the first row and hands on the records of kinds it knows as they
// arrive; a statement that fails midway is an error, every result read before the rollback.
TEST_F(PgStoreTest, RecallStreamsKnownRecordsAndFailsMidwayWithAnError) {
  server.uri = {option(nullptr, nullptr)};
  server.answer = [](std::string_view sql) {
    if (sql.find("q9_records r") == sql.npos) return pg_result{pq::PGRES_TUPLES_OK, {{"2"}}};
    std::vector<std::vector<std::string>> rows;
    for (const char* kind : {"fact", "memo", "report"})
      rows.push_back({"Acme", "1", "2024-02-01", kind, "s", "text", "src", "2024-01-01", "3", "t"});
    return pg_result{pq::PGRES_TUPLES_OK, rows};
  };
  PgStore store({.uri = "postgresql://"}, FAKE);
  json::Writer out(json::Encoding::Utf8);
  store.recall("acme", out);
  const json::Object o = json::parse(out.finish()).as_object();
  EXPECT_EQ(*o.find("last_updated"), json::Value("2024-02-01"));
  EXPECT_EQ(o.find("facts")->as_object().find("s")->as_array().size(), 1u);
  EXPECT_EQ(*o.find("reports")->as_array().at(0).as_object().find("version"), json::Value(3));
  server.fail_after = 2;
  EXPECT_EQ(error_of(store, "acme"),
            "memory store postgresql://db.example:5432/research: canceling statement due to "
            "statement timeout");
  EXPECT_TRUE(server.sent.empty());
  // Nothing of an entity is handed on before the whole of it has been read.
  struct Probe : PgStore {
    using PgStore::Head, PgStore::RowView, PgStore::load, PgStore::PgStore;
  } probe({.uri = "postgresql://"}, FAKE);
  int handed = 0;
  probe.all_entities();  // connects
  EXPECT_THROW(probe.load(
                   "acme", [&](auto&) { ++handed; }, [&](auto&) { ++handed; }),
               MemoryError);
  EXPECT_EQ(handed, 0);
}

// A database that has no schema yet, then has schema 1 once the lock is held: only the
// upgrade runs. A record that fails to serialize is tried again in a new transaction, each
// READ COMMITTED; a key whose md5 is another key's is refused.
TEST_F(PgStoreTest, FirstUseUpgradesUnderTheLockAndRetriesSerializationFailures) {
  server.uri = {option(nullptr, nullptr)};
  std::string sent;  // each statement's first 30 characters
  int entities = 0;
  server.answer = [&](std::string_view sql) {
    sent += std::string(sql.substr(0, 30)) + "|";
    auto has = [&](std::string_view part) { return sql.find(part) != sql.npos; };
    if (has("set_config") && has("FROM q9_schema"))
      return pg_result{7, {}, "no q9_schema", "42P01"};
    if (has("to_regclass")) return pg_result{pq::PGRES_TUPLES_OK, {{"t"}}};
    if (has("FROM q9_schema")) return pg_result{pq::PGRES_TUPLES_OK, {{"1"}}};
    if (!has("INSERT INTO q9_entities")) return pg_result{pq::PGRES_COMMAND_OK, {}};
    if (++entities == 1) return pg_result{7, {}, "could not serialize access", "40001"};
    return pg_result{pq::PGRES_TUPLES_OK, {{"7", "Acme", entities == 2 ? "t" : "f"}}};
  };
  PgStore store({.uri = "postgresql://"}, FAKE);
  EXPECT_EQ(store.record_fact("Acme", "general", "c", "s", "2024-01-01"),
            "fact for Acme [general] (2024-01-01)");
  const std::string begin = "BEGIN ISOLATION LEVEL READ COM|",
                    add = "INSERT INTO q9_entities (key, |";
  EXPECT_EQ(sent.substr(sent.find(begin)),
            begin +
                "SELECT pg_advisory_xact_lock(7|SELECT to_regclass('q9_schema'|SELECT "
                "coalesce(max(version), |ALTER TABLE q9_entities DROP C|CREATE UNIQUE INDEX "
                "q9_entitie|UPDATE q9_schema SET version =|COMMIT|" +
                begin + add + "ROLLBACK|" + begin + add + "INSERT INTO q9_records (entity|COMMIT|");
  EXPECT_EQ(test::message_of<MemoryError>([&] { store.record_negative("Acme", "n"); }),
            "memory store postgresql://db.example:5432/research: the key of Acme has the md5 of "
            "another entity's key");
}

}  // namespace
}  // namespace q9::memory
