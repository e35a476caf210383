// Tests of the upgrades that rewrite stored text: entities keyed anew and merged, bytes that
// are not UTF-8 read as windows-1252.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/utf8.hpp"
#include "memory/sqlite_store.hpp"
#include "memory/store_test.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

// Schema 2 keyed ASCII case only: three spellings of one company were three entities. Its
// version is not set: a store rebuilt with sqlite3 .dump has version 0 and its tables.
TEST_F(StoreTest, MigrationToUnicodeKeysMergesCollidingEntities) {
  old_store(
      "INSERT INTO entities VALUES (1, 'mÜller ag', 'MÜLLER AG'),"
      " (2, 'müller ag', 'Müller AG'), (3, 'mu\xcc\x88ller ag', 'Mu\xcc\x88ller AG'),"
      " (4, 'beta', 'Beta'), (5, 'x\xff', 'X\xff'), (6, '\u200b', '\u200b'),"
      // U+0001 and the id of an entity re-keyed later: the old temporary key
      " (7, char(1) || '8', char(1) || '8'), (8, char(27) || '[2j', char(27) || '[2J'),"
      // Latin-1 names: one is Müller AG, the other another company
      " (9, 'm\xf6ller ag', 'M\xf6ller AG'), (10, 'm\xfcller ag', 'M\xfcller AG');"
      "INSERT INTO records VALUES"
      " (1, 2, 'fact', 'general', 'founded 1901', 'a', '2020-01-01', 0, 't1'),"
      " (2, 1, 'fact', 'general', 'founded 1901', 'a', '2020-01-01', 0, 't2'),"
      " (3, 3, 'fact', 'general', 'founded 1901', 'b', '2020-01-01', 0, 't3'),"
      " (4, 4, 'negative', '', 'nothing', '', '2020-01-02', 0, 't4'),"
      " (5, 3, 'report', '', '/r.html', '', '2020-01-03', 2, 't5'),"
      " (6, 5, 'negative', '', 'kept', '', '2020-01-04', 0, 't6'),"
      " (7, 6, 'negative', '', 'kept', '', '2020-01-04', 0, 't7'),"
      // not UTF-8 in every column; the two are one once repaired
      " (8, 7, 'fact', 'sec\xff', 'claim\xfe', 'src\x80', '2020-01-05', 0, 't8\xff'),"
      " (9, 7, 'fact', 'secÿ', 'claimþ', 'src€', '2020-01-05', 0, 't9'),"
      " (10, 9, 'fact', 'general', 'founded 1901', 'a', '2020-01-01', 0, 't10'),"
      " (11, 10, 'report', '', '/r\xfc.html', '', '2020-01-03', 2, 't11'),"
      " (12, 9, 'report', '', '/r\xf6.html', '', '2020-01-03', 2, 't12');"
      "CREATE INDEX records_by_entity ON records (entity_id, id);");
  SqliteStore s(dir_);
  // Names older stores took but that give no key now are made readable, so that each
  // entity listed can be recalled.
  std::vector<std::string> names;
  for (const EntitySummary& e : s.all_entities()) {
    names.push_back(e.name);
    const json::Value r = recalled(s, e.name);
    EXPECT_EQ(r.as_object().find("entity")->as_string(), e.name);
    EXPECT_EQ(utf8::find_invalid(json::write(r, json::Encoding::Utf8)), std::nullopt) << e.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"\x01\x38", "\x1b[2J", "Beta", "Möller AG",
                                             "MÜLLER AG", "U+200B", "Xÿ"}));
  const json::Object o = recalled(s, "müller ag").as_object();
  EXPECT_EQ(*o.find("entity"), json::Value("MÜLLER AG"));  // the name first recorded
  const json::Array& general = o.find("facts")->as_object().find("general")->as_array();
  ASSERT_EQ(general.size(), 2u);  // the exact duplicate went, the other source stayed
  EXPECT_EQ(*general[0].as_object().find("recorded"), json::Value("t1"));
  EXPECT_EQ(*general[1].as_object().find("source"), json::Value("b"));
  EXPECT_EQ(o.find("reports")->as_array().size(), 2u);  // /r.html and /rü.html, not /rö.html
  EXPECT_EQ(
      *recalled(s, "möller ag").as_object().find("reports")->as_array()[0].as_object().find("path"),
      json::Value("/rö.html"));
  EXPECT_EQ(*recalled(s, std::nullopt).as_object().find("records"), json::Value(10));
  EXPECT_EQ(s.record_fact("MUELLER AG", "general", "x", "", std::nullopt).substr(0, 21),
            "fact for MUELLER AG [");  // ue is not ü
}

}  // namespace
}  // namespace q9::memory
