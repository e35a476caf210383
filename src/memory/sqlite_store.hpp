// The memory store in one SQLite file, the default: memory.db in the folder it is given.
#pragma once

#include <filesystem>

#include "memory/store.hpp"

struct sqlite3;

namespace q9::memory {

class SqliteStore : public Store {
 public:
  // The store in `dir`; nothing is opened or created before the first operation.
  explicit SqliteStore(const std::filesystem::path& dir);
  ~SqliteStore() override;

  std::string location() const override { return path_.string(); }
  // The schema version this program writes.
  static constexpr int SCHEMA_VERSION = 4;

 protected:
  void open(bool write) override;
  Added insert(const std::string& key, const std::string& name, const Row& row) override;
  std::optional<std::string> load(const std::string& key,
                                  const std::function<void(Row&)>& each) override;
  std::pair<int64_t, int64_t> count() override;
  std::vector<EntitySummary> list() override;

 private:
  std::filesystem::path _creation_target() const;
  void _create(const std::filesystem::path& at);
  void _open_read_only();
  std::filesystem::path dir_, path_;
  sqlite3* db_ = nullptr;
};

}  // namespace q9::memory
