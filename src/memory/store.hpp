// The entity memory store: sourced facts, negative findings, contradictions and finished
// reports per company. One interface, two backends: an SQLite file below the host's
// configuration directory (the default), or a PostgreSQL database a team shares.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "memory/error.hpp"
#include "memory/record_kind.hpp"

namespace q9::memory {

// One entity as `q9 memory list` shows it: what recall would say of its facts and dates.
struct EntitySummary {
  std::string name;  // the entity's display name, which recall accepts
  int64_t fact_count = 0;
  std::optional<std::string> last_updated;  // the latest date of any record
  // The display name, under the name the memory command reads it by.
  const std::string& stem() const { return name; }
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

  // Writes what is known of one entity to `out` as its records are read, one JSON object;
  // with no entity, a summary of the whole store.
  void recall(const std::optional<std::string>& entity, json::Writer& out);
  // Every entity with its fact count and latest date, ordered by the bytes of its key, from
  // one query.
  std::vector<EntitySummary> all_entities();

  // One record of an entity as read(): views valid during the call it is handed to.
  struct Record {
    RecordKind kind;
    std::string_view section, text, source, date;  // a contradiction's topic is its section
  };
  // Hands each record of `entity` to `each`, in recall's order, reading the store only (as
  // recall does); nothing for an entity the store does not know.
  void read(std::string_view entity, const std::function<void(const Record&)>& each);

  // Where records get their times from: today's date and the time of recording.
  using Clock = std::function<std::time_t()>;
  void set_clock(Clock clock) { clock_ = std::move(clock); }

 protected:
  Store() = default;

  // One stored record (its columns: record_columns.hpp): a Row owns its text, a RowView
  // looks at a row a backend has just read.
  template <typename Text>
  struct BasicRow {
    std::optional<RecordKind> kind{};  // nothing for a word this q9 does not know
    Text subject{};                    // section: a fact's section or a contradiction's topic
    Text body{};                       // text: a claim, a note, a contradiction or a report's path
    Text source{};                     // a fact's source
    Text date{};                       // fact_date: the day the record speaks of
    int64_t version = 0;               // a report's version
    Text recorded{};                   // recorded_at: the UTC time it was recorded
  };
  using Row = BasicRow<std::string>;
  using RowView = BasicRow<std::string_view>;
  // What recall says of an entity before its records.
  struct Head {
    std::string name;    // the display name first recorded
    int64_t facts = 0;   // how many facts it has
    std::string latest;  // the latest date of any record; empty when none has one
  };
  struct Counts {
    int64_t entities = 0, records = 0;
  };
  struct Added {
    std::string name;  // the entity's display name
    bool stored;       // false when the same record was already there
  };

  // Called before the first read or write, and again after an attempt that failed (which
  // it replaces). With `write` false nothing is to be written, so a store this user may
  // only read is opened for reading.
  virtual void open(bool write) = 0;
  // Adds `row` to the entity with `key`, creating it under `name` when new, in one
  // transaction; an equal record (all but `recorded`) already there is left alone.
  virtual Added insert(const std::string& key, const std::string& name, const Row& row) = 0;
  // Reads the entity with `key` from one snapshot: hands its Head to `head`, then its
  // records to `each` in the order recall prints them. That is facts section by section
  // (sections in the order of their first fact), negatives, contradictions, then reports by
  // version; within each, recording order. Records of a kind this q9 does not know count
  // only for the latest date and are not handed on. Returns false, calling neither, when
  // no entity has the key.
  virtual bool load(const std::string& key, const std::function<void(const Head&)>& head,
                    const std::function<void(const RowView&)>& each) = 0;
  virtual Counts count() = 0;
  // Every entity, ordered by the bytes of its key.
  virtual std::vector<EntitySummary> list() = 0;

 private:
  void _ready(bool write);
  // Stores `row`, dated today when it has no date.
  std::string _add(std::string_view entity, Row row);
  bool opened_ = false;
  Clock clock_ = [] { return std::time(nullptr); };
};

// The store the environment chooses (open_store.cpp, the one place that reads its settings):
// Q9_MEMORY_URL unset or empty gives the SQLite store in config_dir()/agent/memory; a
// postgresql:// or postgres:// URI the PostgreSQL store (never a fallback to SQLite), with
// PGPASSWORD and PGCONNECT_TIMEOUT read here too. Connects to nothing yet. Throws
// MemoryError for any other value, a malformed URI or a missing client library, without
// quoting the value (it may hold a password).
std::unique_ptr<Store> open_store();

}  // namespace q9::memory
