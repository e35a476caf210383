// The entity memory store: sourced facts, negative findings, contradictions and finished
// reports per company, kept in one SQLite database below the host's configuration directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"

struct sqlite3;

namespace q9::memory {

// A refused record or a store that cannot be opened; the message is a one-line diagnostic.
class MemoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The key under which an entity is stored: case-folded, white space collapsed and trimmed.
// Throws MemoryError for a blank name.
std::string entity_key(std::string_view name);

// Whether `text` is a real calendar date written YYYY-MM-DD.
bool is_calendar_date(std::string_view text);

// Today's local date as YYYY-MM-DD.
std::string today();

struct EntityItem {
  std::string stem;  // the entity's display name
};

class Store {
 public:
  // Opens (creating when needed) the store in `dir`, usually default_dir().
  explicit Store(const std::filesystem::path& dir);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // config_dir()/agent/memory
  static std::filesystem::path default_dir();

  const std::filesystem::path& path() const { return path_; }

  // Each returns a short text saying what was stored, or that it was already there.
  std::string record_fact(std::string_view entity, std::string_view section, std::string_view claim,
                          std::string_view source, const std::optional<std::string>& fact_date);
  std::string record_negative(std::string_view entity, std::string_view note);
  std::string record_contradiction(std::string_view entity, std::string_view topic,
                                   std::string_view text);
  std::string record_report(std::string_view entity, std::string_view path, int64_t version);

  // What is known of one entity; with no entity, a summary of the whole store.
  json::Value recall(const std::optional<std::string>& entity);
  // Every entity, ordered by key.
  std::vector<EntityItem> all_entities();

 private:
  struct Record {
    std::string kind, section, text, source, date;
    int64_t version = 0;
  };
  std::string insert(std::string_view entity, const Record& r);

  std::filesystem::path path_;
  sqlite3* db_ = nullptr;
};

}  // namespace q9::memory
