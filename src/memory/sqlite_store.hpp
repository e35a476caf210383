// The memory store in one SQLite file, the default: memory.db in the folder it is given.
#pragma once

#include <filesystem>
#include <memory>

#include "memory/store.hpp"

struct sqlite3;

namespace q9::memory {

// An open SQLite connection, closed (sqlite3_close) with its owner.
using SqliteDb = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

class SqliteStore : public Store {
 public:
  // The store in `dir`; nothing is opened or created before the first operation.
  explicit SqliteStore(const std::filesystem::path& dir);

  std::string location() const override { return path_.string(); }
  // The schema version this program writes.
  static constexpr int SCHEMA_VERSION = 5;

 protected:
  void open(bool write) override;
  Added insert(const std::string& key, const std::string& name, const Row& row) override;
  bool load(const std::string& key, const std::function<void(const Head&)>& head,
            const std::function<void(const RowView&)>& each) override;
  Counts count() override;
  std::vector<EntitySummary> list() override;

 private:
  struct Access {
    bool writable;
    std::string why;  // when not: ": this user may not write ...", to follow the store's path
  };
  Access _access(const std::filesystem::path& real) const;
  void _clear_side_files(const std::string& real) const;
  template <typename F>
  auto _retrying(F&& body, const bool& handed_on = false);
  bool _load(const std::string& key, const std::function<void(const Head&)>& head,
             const std::function<void(const RowView&)>& each, bool& handed_on);
  std::filesystem::path _creation_target() const;
  void _create(const std::filesystem::path& at);
  void _open_read_only();
  std::filesystem::path dir_, path_;
  SqliteDb db_;
  bool read_only_ = false;  // opened by a user who may not write it
};

}  // namespace q9::memory
