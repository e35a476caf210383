// The memory store in a PostgreSQL database, for a team whose agents on many machines
// should share one memory. Tables are named q9_*, in the connection's search path.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "memory/libpq.hpp"
#include "memory/store.hpp"

namespace q9::memory {

// What the environment says of the PostgreSQL store (open_store() reads it).
struct PgSettings {
  std::string uri{};             // Q9_MEMORY_URL, a postgresql:// or postgres:// URI
  std::string password{};        // PGPASSWORD, which libpq reads itself: never shown either
  bool connect_timeout = false;  // PGCONNECT_TIMEOUT is set: the store adds no limit of its own
};

class PgStore : public Store {
 public:
  // `settings.uri` is in libpq's syntax; `pq` is the client library, kept for the store's
  // life. Checks the URI; connects on the first operation. Throws MemoryError with a fixed
  // message for a malformed URI, since libpq's own would quote the password.
  PgStore(const PgSettings& settings, const pq::Api& pq);

  // postgresql://HOST:PORT/DATABASE, the parts percent-encoded (a socket folder as %2F...).
  std::string location() const override { return location_; }
  // The schema version this program writes, kept in the table q9_schema.
  static constexpr int SCHEMA_VERSION = 2;

 protected:
  void open(bool write) override;
  Added insert(const std::string& key, const std::string& name, const Row& row) override;
  bool load(const std::string& key, const std::function<void(const Head&)>& head,
            const std::function<void(const RowView&)>& each) override;
  Counts count() override;
  std::vector<EntitySummary> list() override;

 private:
  class Result;
  // Runs one statement; _exec also turns a failure into MemoryError.
  Result _run(const char* sql, std::initializer_list<std::string_view> params = {});
  Result _exec(const char* sql, std::initializer_list<std::string_view> params = {});
  // Runs one statement and hands each row of its answer to `each` (the answer and the row's
  // index) as it arrives, so that a large answer is never held whole.
  void _stream(const char* sql, std::initializer_list<std::string_view> params,
               const std::function<void(const Result&, int)>& each);
  // Runs `body` in one transaction with the store's time limits.
  template <typename F>
  auto _transaction(F&& body);
  [[noreturn]] void _fail(std::string_view message) const;
  void _migrate();

  const pq::Api& pq_;
  PgSettings settings_;
  std::string location_;
  std::string failed_state_;                         // SQLSTATE of the statement that failed last
  std::vector<std::string> secrets_;                 // never printed: replaced in every message
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn_;  // closed with pq_.PQfinish
};

}  // namespace q9::memory
