// The entity memory store: sourced facts, negative findings, contradictions and finished
// reports per company. One interface, two backends: an SQLite file below the host's
// configuration directory (the default), or a PostgreSQL database a team shares.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "memory/input.hpp"

namespace q9::memory {

struct EntityItem {
  std::string stem;  // the entity's display name
};

// One line of `q9 memory list`: what recall would say of the entity's facts and dates.
struct EntitySummary {
  std::string name;  // the entity's display name
  int64_t fact_count = 0;
  std::optional<std::string> last_updated;  // the latest date of any record
};

// The public operations check their input and build every answer here, so both backends
// answer alike; a backend only stores and reads rows. Nothing is opened, created or
// connected until an operation has accepted its input.
class Store {
 public:
  virtual ~Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens the store (creating or upgrading it when needed) and returns where it is.
  std::string init();
  // Where the store is, for people: a file path, or postgresql://host:port/database
  // (never a user name or password).
  virtual std::string location() const = 0;

  // Each returns a short text saying what was stored, or that it was already there.
  std::string record_fact(std::string_view entity, std::string_view section, std::string_view claim,
                          std::string_view source, const std::optional<std::string>& fact_date);
  std::string record_negative(std::string_view entity, std::string_view note);
  std::string record_contradiction(std::string_view entity, std::string_view topic,
                                   std::string_view text);
  // `path` is stored made absolute against the current folder.
  std::string record_report(std::string_view entity, std::string_view path, int64_t version);

  // What is known of one entity; with no entity, a summary of the whole store.
  json::Value recall(const std::optional<std::string>& entity);
  // Every entity, ordered by the bytes of its key.
  std::vector<EntityItem> all_entities();
  // Every entity with its fact count and latest date, in the same order, from one query.
  std::vector<EntitySummary> summaries();

 protected:
  Store() = default;

  // One stored record; `recorded` is the UTC time it was recorded.
  struct Row {
    std::string kind{}, section{}, text{}, source{}, date{}, recorded{};
    int64_t version = 0;
  };
  struct Added {
    std::string name;  // the entity's display name
    bool stored;       // false when the same record was already there
  };

  // Called once, before the first read or write. With `write` false nothing is to be
  // written, so a store this user may only read is opened for reading.
  virtual void open(bool write) = 0;
  // Adds `row` to the entity with `key`, creating it under `name` when new, in one
  // transaction; an equal record (all but `recorded`) already there is left alone.
  virtual Added insert(const std::string& key, const std::string& name, const Row& row) = 0;
  // Hands each record of the entity with `key` to `each`, in recording order and from one
  // snapshot, and returns the entity's display name (first recorded); nothing when no
  // entity has the key.
  virtual std::optional<std::string> load(const std::string& key,
                                          const std::function<void(Row&)>& each) = 0;
  // (entities, records)
  virtual std::pair<int64_t, int64_t> count() = 0;
  // Every entity, ordered by the bytes of its key.
  virtual std::vector<EntitySummary> list() = 0;

 private:
  void _ready(bool write);
  std::string _add(std::string_view entity, Row row);
  bool opened_ = false;
};

// The store the environment chooses: Q9_MEMORY_URL unset or empty gives the SQLite store in
// config_dir()/agent/memory; a postgresql:// or postgres:// URI the PostgreSQL store (never
// a fallback to SQLite). Connects to nothing yet. Throws MemoryError for any other value, a
// malformed URI or a missing client library, without quoting the value (it may hold a
// password).
std::unique_ptr<Store> open_store();

}  // namespace q9::memory
