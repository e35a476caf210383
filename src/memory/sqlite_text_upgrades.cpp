// The upgrades that rewrite stored text. Both read bytes that are not UTF-8 as windows-1252
// (as_utf8), which keeps different names apart where U+FFFD would merge them.
#include "memory/sqlite_text_upgrades.hpp"

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/utf8.hpp"
#include "memory/input.hpp"
#include "memory/sqlite_db.hpp"
#include "memory/windows_1252.hpp"

namespace q9::memory::sqlite {
namespace fs = std::filesystem;
namespace {

// A display name that gives a key: text that is not UTF-8 is read as windows-1252, and a
// name that is blank once normalised (zero-width characters only, say) is spelled out as
// code points. Older stores took both.
std::string _keyable_name(const std::string& name) {
  const std::string out = as_utf8(name);
  try {
    entity_key(out);
    return out;
  } catch (const MemoryError&) {
    std::string spelled;
    for (size_t i = 0; i < out.size();) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%sU+%04X", spelled.empty() ? "" : " ",
                    static_cast<unsigned>(utf8::decode(out, i)));
      spelled += buf;
    }
    return spelled.empty() ? "U+0000" : spelled;
  }
}

}  // namespace

// 2 -> 3: entities keyed by Unicode NFKC case folding instead of ASCII case. Entities whose
// keys now coincide become one: it keeps the display name first recorded (the lowest id)
// and every record, less exact duplicates.
void rekey(sqlite3* db, const fs::path& path) {
  struct Kept {
    int64_t id;
    std::string key, name;  // name: empty when unchanged
  };
  std::vector<Kept> entities;
  std::map<std::string, int64_t> owner;             // new key -> surviving entity
  std::vector<std::pair<int64_t, int64_t>> merges;  // (entity, into)
  {
    Stmt all(db, path, "SELECT id, name FROM entities ORDER BY id");
    while (all.step()) {
      const std::string name = all.text(1), keyable = _keyable_name(name);
      const std::string key = entity_key(keyable);
      auto [it, first] = owner.emplace(key, all.integer(0));
      if (first)
        entities.push_back({all.integer(0), key, keyable == name ? "" : keyable});
      else
        merges.emplace_back(all.integer(0), it->second);
    }
  }
  for (auto [from, into] : merges) {
    // Of two equal records the one recorded first stays.
    Stmt dedupe(db, path,
                "DELETE FROM records WHERE entity_id IN (?1, ?2) AND EXISTS (SELECT 1 FROM"
                " records o WHERE o.entity_id IN (?1, ?2) AND o.id < records.id AND"
                " o.kind = records.kind AND o.section = records.section AND o.text = records.text"
                " AND o.source = records.source AND o.fact_date = records.fact_date AND"
                " o.version = records.version)");
    dedupe.bind(1, from).bind(2, into).step();
    Stmt move(db, path, "UPDATE records SET entity_id = ?1 WHERE entity_id = ?2");
    move.bind(1, into).bind(2, from).step();
    Stmt gone(db, path, "DELETE FROM entities WHERE id = ?1");
    gone.bind(1, from).step();
  }
  // Through a key no name can give, so no new key meets an old one on the way: keys are
  // text, and a blob never equals text.
  Stmt park(db, path, "UPDATE entities SET key = CAST(id AS BLOB) WHERE id = ?1");
  Stmt set(db, path, "UPDATE entities SET key = ?2 WHERE id = ?1");
  Stmt rename(db, path, "UPDATE entities SET name = ?2 WHERE id = ?1");
  for (const Kept& e : entities) {
    park.bind(1, e.id).step();
    park.reset();
  }
  for (const Kept& e : entities) {
    set.bind(1, e.id).bind(2, e.key).step();
    set.reset();
    if (!e.name.empty()) {
      rename.bind(1, e.id).bind(2, e.name).step();
      rename.reset();
    }
  }
}

// 3 -> 4: text that is not UTF-8 is read as windows-1252 in every column, as 2 -> 3 did for
// names only, so that every recall is JSON. A record whose repaired form is there already
// goes. (Upgrades before this one made such bytes U+FFFD; what they merged stays merged.)
void repair_text(sqlite3* db, const fs::path& path) {
  constexpr int N = 6;
  std::vector<std::pair<int64_t, std::array<std::string, N>>> broken;
  {
    Stmt all(db, path,
             "SELECT id, kind, section, text, source, fact_date, recorded_at FROM records");
    while (all.step()) {
      std::array<std::string, N> cols;
      bool bad = false;
      for (int c = 0; c < N; ++c) {
        cols[c] = all.text(c + 1);
        bad = bad || utf8::find_invalid(cols[c]).has_value();
      }
      if (bad) broken.emplace_back(all.integer(0), std::move(cols));
    }
  }
  Stmt fix(db, path,
           "UPDATE OR IGNORE records SET kind = ?2, section = ?3, text = ?4, source = ?5,"
           " fact_date = ?6, recorded_at = ?7 WHERE id = ?1");
  Stmt drop(db, path, "DELETE FROM records WHERE id = ?1");
  for (const auto& [id, cols] : broken) {
    fix.bind(1, id);
    for (int c = 0; c < N; ++c) fix.bind(c + 2, as_utf8(cols[c]));
    fix.step();
    fix.reset();
    if (sqlite3_changes(db) == 0) {
      drop.bind(1, id).step();
      drop.reset();
    }
  }
  std::vector<std::pair<int64_t, std::string>> names;
  {
    Stmt all(db, path, "SELECT id, name FROM entities");
    while (all.step()) {
      if (utf8::find_invalid(all.text(1))) names.emplace_back(all.integer(0), all.text(1));
    }
  }
  Stmt rename(db, path, "UPDATE entities SET name = ?2 WHERE id = ?1");
  for (const auto& [id, name] : names) {
    rename.bind(1, id).bind(2, as_utf8(name)).step();
    rename.reset();
  }
}

}  // namespace q9::memory::sqlite
