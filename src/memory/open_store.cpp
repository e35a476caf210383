// Chooses the memory store's backend from the environment.
#include <cstdlib>
#include <string>

#include "core/config_dir.hpp"
#include "memory/pg_store.hpp"
#include "memory/sqlite_store.hpp"

namespace q9::memory {
namespace {

std::string _env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::unique_ptr<Store> open_store() {
  const std::string url = _env("Q9_MEMORY_URL");
  if (url.empty()) return std::make_unique<SqliteStore>(config_dir() / "agent" / "memory");
  if (url.starts_with("postgresql://") || url.starts_with("postgres://")) {
    return std::make_unique<PgStore>(
        PgSettings{.uri = url,
                   .password = _env("PGPASSWORD"),
                   .connect_timeout = !_env("PGCONNECT_TIMEOUT").empty()},
        pq::api());
  }
  throw MemoryError(
      "Q9_MEMORY_URL must be empty (the SQLite store) or a postgresql:// or postgres:// URI");
}

}  // namespace q9::memory
