// The memory store in a PostgreSQL database, for a team whose agents on many machines
// should share one memory. Tables are named q9_*, in the connection's search path.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "memory/libpq.hpp"
#include "memory/store.hpp"

namespace q9::memory {

class PgStore : public Store {
 public:
  // `uri` is a postgresql:// or postgres:// URI in libpq's syntax. Loads libpq and checks
  // the URI; connects on the first operation. Throws MemoryError with a fixed message for
  // a malformed URI, since libpq's own would quote the password.
  explicit PgStore(const std::string& uri);
  ~PgStore() override;

  // postgresql://HOST:PORT/DATABASE, the parts percent-encoded (a socket folder as %2F...).
  std::string location() const override { return location_; }
  // The schema version this program writes, kept in the table q9_schema.
  static constexpr int SCHEMA_VERSION = 2;

 protected:
  void open(bool write) override;
  Added insert(const std::string& key, const std::string& name, const Row& row) override;
  std::optional<std::string> load(const std::string& key,
                                  const std::function<void(Row&)>& each) override;
  std::pair<int64_t, int64_t> count() override;
  std::vector<EntitySummary> list() override;

 private:
  class Result;
  // Runs one statement; _exec also turns a failure into MemoryError.
  Result _run(const char* sql, std::initializer_list<std::string_view> params = {});
  Result _exec(const char* sql, std::initializer_list<std::string_view> params = {});
  // Runs `body` in one transaction with the store's time limits.
  template <typename F>
  auto _transaction(F&& body);
  [[noreturn]] void _fail(std::string_view message) const;
  void _migrate();

  const pq::Api& pq_;
  std::string uri_, location_;
  std::vector<std::string> secrets_;  // never printed: replaced in every message
  PGconn* conn_ = nullptr;
};

}  // namespace q9::memory
