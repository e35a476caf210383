// The memory store the environment chooses: the one place that reads the store's settings.
#pragma once

#include <memory>

#include "memory/store.hpp"

namespace q9::memory {

// Q9_MEMORY_URL unset or empty gives the SQLite store in config_dir()/agent/memory; a
// postgresql:// or postgres:// URI the PostgreSQL store (never a fallback to SQLite), with
// PGPASSWORD and PGCONNECT_TIMEOUT read here too. Connects to nothing yet. Throws
// MemoryError for any other value, a malformed URI or a missing client library, without
// quoting the value (it may hold a password).
std::unique_ptr<Store> open_store();

}  // namespace q9::memory
