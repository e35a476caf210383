// Tests of the memory store: keys, dates, merging, recall and bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "core/atomic_write.hpp"
#include "core/read_file.hpp"
#include "core/utf8.hpp"
#include "memory/input.hpp"
#include "memory/sqlite_store.hpp"
#include "testing/support.hpp"

namespace q9::memory {
namespace fs = std::filesystem;
namespace {

class StoreTest : public ::testing::Test {
 protected:
  // A store as the first schema left it, then `sql`.
  void old_store(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "memory.db").c_str(), &db), SQLITE_OK);
    const std::string all =
        "CREATE TABLE entities (id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,"
        " name TEXT NOT NULL);"
        "CREATE TABLE records (id INTEGER PRIMARY KEY, entity_id INTEGER NOT NULL"
        " REFERENCES entities(id), kind TEXT NOT NULL, section TEXT NOT NULL,"
        " text TEXT NOT NULL, source TEXT NOT NULL, fact_date TEXT NOT NULL,"
        " version INTEGER NOT NULL, recorded_at TEXT NOT NULL, UNIQUE (entity_id,"
        " kind, section, text, source, fact_date, version));" +
        sql;
    EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  static constexpr auto error_of = test::message_of<MemoryError>;
  test::TempDir tmp_;
  const fs::path dir_ = tmp_.path();
};

// What recall writes, read back.
json::Value recalled(Store& s, const std::optional<std::string>& entity) {
  json::Writer out(json::Encoding::Utf8);
  s.recall(entity, out);
  return json::parse(out.finish());
}

// The one-query list says what recall says of each entity.
void expect_summaries_as_recalled(Store& s) {
  for (const EntitySummary& e : s.all_entities()) {
    const json::Object r = recalled(s, e.name).as_object();
    EXPECT_EQ(*r.find("fact_count"), json::Value(e.fact_count)) << e.name;
    EXPECT_EQ(*r.find("last_updated"),
              e.last_updated ? json::Value(*e.last_updated) : json::Value());
  }
}

TEST(EntityKey, FoldsCaseAndWhiteSpace) {
  struct {
    const char* name;
    const char* key;
  } rows[] = {
      {"Acme Corp", "acme corp"},
      {" acme \t corp\n", "acme corp"},
      {"MÜLLER AG", "müller ag"},
      {"Mu\u0308ller AG", "müller ag"},                   // decomposed ü
      {"Stra\u00dfe\u00a0GmbH", "strasse gmbh"},          // ß folds to ss, no-break space
      {"\uff21\uff23\uff2d\uff25\u3000Ltd", "acme ltd"},  // full-width letters, ideographic space
      {"\ufb01rst\u200b Co", "first co"},                 // ligature; zero-width space dropped
      {"\u2028ΣΊΣΥΦΟΣ\u2029", "σίσυφοσ"},
  };
  for (const auto& row : rows) EXPECT_EQ(entity_key(row.name), row.key) << row.name;
  for (const char* blank : {"", " \t ", "\u00a0\u200b\u3000"}) {
    EXPECT_THROW(entity_key(blank), MemoryError) << blank;
  }
  try {
    entity_key("Acme\xff");
    ADD_FAILURE() << "accepted";
  } catch (const MemoryError& e) {
    EXPECT_STREQ(e.what(), "entity name is not valid UTF-8 (byte 5)");
  }
}

TEST(CalendarDate, AcceptsOnlyRealDays) {
  for (const char* ok : {"2024-01-01", "2024-02-29", "2000-02-29", "1999-12-31"})
    EXPECT_TRUE(is_calendar_date(ok)) << ok;
  for (const char* bad : {"2023-02-29", "1900-02-29", "2024-13-01", "2024-04-31", "2024-1-01",
                          "24-01-01", "2024/01/01", "0000-01-01", "2024-01-00", "today"})
    EXPECT_FALSE(is_calendar_date(bad)) << bad;
}

// A quoted "~/..." reaches q9 unexpanded; only "~" and "~/" mean the home directory.
TEST(ReportPath, TildeIsTheHomeDirectory) {
  test::ScopedEnv home("HOME", "/home/ana/");
  EXPECT_EQ(absolute_report_path("~/Desktop/r.html"), "/home/ana/Desktop/r.html");
  EXPECT_EQ(absolute_report_path("~"), "/home/ana");
  EXPECT_EQ(absolute_report_path("~ana/r.html"), (fs::current_path() / "~ana/r.html").string());
}

TEST_F(StoreTest, MergesNamesAndDoesNotDuplicateFacts) {
  SqliteStore s(dir_);
  EXPECT_EQ(s.record_fact("Acme Corp", "people", "CEO is X", "registry", "2024-05-01"),
            "fact for Acme Corp [people] (2024-05-01)");
  EXPECT_EQ(s.record_fact(" acme  CORP ", "people", "CEO is X", "registry", "2024-05-01"),
            "already recorded: fact for Acme Corp [people] (2024-05-01)");
  // Another source, date or section is another record.
  s.record_fact("acme corp", "people", "CEO is X", "press", "2024-05-01");
  s.record_fact("acme corp", "general", "CEO is X", "press", "2024-06-01");
  json::Value r = recalled(s, "ACME corp");
  const json::Object& o = r.as_object();
  EXPECT_EQ(*o.find("entity"), json::Value("Acme Corp"));
  EXPECT_EQ(*o.find("fact_count"), json::Value(3));
  EXPECT_EQ(*o.find("last_updated"), json::Value("2024-06-01"));
  const json::Object& facts = o.find("facts")->as_object();
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_EQ(facts.begin()->first, "people");
  EXPECT_EQ(facts.find("people")->as_array().size(), 2u);
  ASSERT_EQ(s.all_entities().size(), 1u);
  EXPECT_EQ(s.all_entities()[0].name, "Acme Corp");
  expect_summaries_as_recalled(s);
}

TEST_F(StoreTest, KeepsEachKindApartAndReportsInVersionOrder) {
  // Noon UTC on 1 March 2024 is still 29 February fourteen hours west: an undated record
  // gets the local date and its recording time in UTC.
  test::ScopedEnv tz("TZ", "UTC+14");
  ::tzset();
  SqliteStore s(dir_);
  s.set_clock([] { return std::time_t{1709294400}; });
  s.record_report("Acme", "v3.html", 3);
  s.record_report("Acme", "v1.html", 1);
  s.record_negative("Acme", "no court records");
  s.record_contradiction("Acme", "revenue", "10bn (A) vs 12bn (B)");
  s.record_fact("Beta", "general", "other company", "", std::nullopt);
  const json::Object o = recalled(s, "acme").as_object();
  EXPECT_EQ(*o.find("fact_count"), json::Value(0));
  const json::Array& reports = o.find("reports")->as_array();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(*reports[0].as_object().find("version"), json::Value(1));
  // Stored absolute, so a run started in another folder finds the dossier.
  EXPECT_EQ(*reports[1].as_object().find("path"),
            json::Value((fs::current_path() / "v3.html").string()));
  EXPECT_EQ(o.find("negatives")->as_array().size(), 1u);
  EXPECT_EQ(*o.find("contradictions")->as_array()[0].as_object().find("topic"),
            json::Value("revenue"));
  const json::Object beta = recalled(s, "beta").as_object();
  EXPECT_EQ(*beta.find("last_updated"), json::Value("2024-02-29"));
  EXPECT_EQ(
      *beta.find("facts")->as_object().find("general")->as_array()[0].as_object().find("recorded"),
      json::Value("2024-03-01T12:00:00+00:00"));
  expect_summaries_as_recalled(s);
}

TEST_F(StoreTest, UnknownEntityAndStoreSummary) {
  SqliteStore s(dir_);
  const json::Object o = recalled(s, "Nobody Ltd").as_object();
  EXPECT_EQ(*o.find("fact_count"), json::Value(0));
  EXPECT_TRUE(o.find("last_updated")->is_null());
  EXPECT_TRUE(o.find("facts")->as_object().empty());
  s.record_negative("x", "y");
  const json::Object sum = recalled(s, std::nullopt).as_object();
  EXPECT_EQ(*sum.find("entities"), json::Value(1));
  EXPECT_EQ(*sum.find("records"), json::Value(1));
}

TEST_F(StoreTest, RefusesBadInputAndCreatesNothing) {
  SqliteStore s(dir_);
  const std::string nul("a\0b", 3);
  struct {
    std::function<void()> call;
    const char* error;
  } rows[] = {
      {[&] { s.record_fact("Acme", "general", "c", "", "2024-02-30"); },
       "fact date '2024-02-30' is not a calendar date in the form YYYY-MM-DD"},
      {[&] { s.record_report("Acme", "r.html", 0); }, "report version must be 1 or more, not 0"},
      {[&] { s.record_report("Acme", "", 1); }, "report path is empty"},
      {[&] { s.record_negative("  ", "n"); }, "entity name is empty"},
      {[&] { s.record_fact("Acme", "general", "caf\xc3", "", std::nullopt); },
       "claim is not valid UTF-8 (byte 4)"},
      {[&] { s.record_fact("Acme", "general", "c", "\xed\xa0\x80", std::nullopt); },
       "source is not valid UTF-8 (byte 1)"},
      {[&] { s.record_contradiction("Acme", nul, "t"); }, "topic contains a NUL character"},
      {[&] { recalled(s, "\xc0\xaf"); }, "entity name is not valid UTF-8 (byte 1)"},
  };
  for (const auto& row : rows) {
    try {
      row.call();
      ADD_FAILURE() << "accepted: " << row.error;
    } catch (const MemoryError& e) {
      EXPECT_STREQ(e.what(), row.error);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "memory.db"));
  EXPECT_TRUE(s.all_entities().empty());
}

// Each call tries to open the store again; none leaves a connection behind.
TEST_F(StoreTest, RefusesANewerSchemaAgainWithoutLeakingConnections) {
  old_store("PRAGMA user_version=99;");
  const auto before = test::open_descriptors();
  {
    SqliteStore s(dir_);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(error_of([&] { s.record_negative("Acme", "n"); }),
                "memory store " + (dir_ / "memory.db").string() +
                    " has schema version 99, newer than this q9 understands (5)");
    }
  }
  EXPECT_EQ(test::open_descriptors(), before);
}

// Neither junk, nor an empty file or another program's database (what a failed rescue
// leaves) is taken as a new store; each is left as it was.
TEST_F(StoreTest, EmptyOrForeignFileIsNotTakenAsANewStore) {
  const std::string p = (dir_ / "memory.db").string();
  const std::string none = "memory store " + p +
                           " holds no memory store (it is empty or another program's database);"
                           " move it away and q9 starts a new store";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "other.db").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  for (const auto& [bytes, error] : {std::pair{std::string(4096, 'x'), "memory store " + p +
                                                                          ": file is not a database"},
                                     {"", none},
                                     {files::read_file(dir_ / "other.db"), none}}) {
    files::write_file_atomic(p, bytes);
    EXPECT_EQ(error_of([&] { SqliteStore(dir_).init(); }), error) << bytes.size();
    EXPECT_EQ(error_of([&] { SqliteStore(dir_).all_entities(); }), error) << bytes.size();
    EXPECT_EQ(files::read_file(p), bytes);
  }
}

TEST_F(StoreTest, RefusesAFolderThatCannotBeCreated) {
  files::write_file_atomic(dir_ / "plain", "a file where a folder belongs");
  try {
    SqliteStore(dir_ / "plain" / "memory").init();
    ADD_FAILURE() << "opened";
  } catch (const MemoryError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot create memory store folder"), std::string::npos);
  }
}

// The first schema, the one before this, and a current store rebuilt from an SQL dump
// (version 0, its indexes there already). Each record kind is read in the order it prints.
TEST_F(StoreTest, MigratesOlderStoresKeepingTheirRecords) {
  const std::string by_entity = "CREATE INDEX records_by_entity ON records (entity_id, id);";
  for (const std::string& schema :
       {std::string("PRAGMA user_version=1;"), by_entity + "PRAGMA user_version=4;",
        by_entity + "CREATE INDEX records_by_kind ON records (entity_id, kind, section, id);"
                    "CREATE INDEX records_by_date ON records (entity_id, fact_date);"}) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    old_store(
        "INSERT INTO entities VALUES (1, 'acme', 'Acme');"
        "INSERT INTO records VALUES (1, 1, 'fact', 'people', 'old', 's', '2020-01-01', 0, 't'),"
        " (2, 1, 'report', '', '/v2.html', '', '2020-01-02', 2, 't'),"
        " (3, 1, 'memo', '', 'a kind this q9 does not know', '', '2022-01-01', 0, 't'),"
        " (4, 1, 'negative', '', 'none', '', '2020-01-03', 0, 't'),"
        " (5, 1, 'report', '', '/v1.html', '', '2020-01-04', 1, 't');" +
        schema);
    SqliteStore s(dir_);
    s.record_fact("ACME", "general", "new", "s", "2021-01-01");
    s.record_fact("ACME", "people", "newer", "s", "2021-01-01");
    const json::Object o = recalled(s, "acme").as_object();
    EXPECT_EQ(*o.find("fact_count"), json::Value(3)) << schema;
    EXPECT_EQ(*o.find("last_updated"), json::Value("2022-01-01"));
    std::string order;
    for (const auto& [section, facts] : o.find("facts")->as_object()) {
      for (const json::Value& f : facts.as_array())
        order += section + ":" + f.as_object().find("claim")->as_string() + " ";
    }
    for (const char* list : {"negatives", "reports"}) {
      for (const json::Value& r : o.find(list)->as_array())
        order += r.as_object().begin()->second.as_string() + " ";
    }
    EXPECT_EQ(order, "people:old people:newer general:new none /v1.html /v2.html ");
  }
}

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
  EXPECT_EQ(*recalled(s, "möller ag").as_object().find("reports")->as_array()[0].as_object().find(
                "path"),
            json::Value("/rö.html"));
  EXPECT_EQ(*recalled(s, std::nullopt).as_object().find("records"), json::Value(10));
  EXPECT_EQ(s.record_fact("MUELLER AG", "general", "x", "", std::nullopt).substr(0, 21),
            "fact for MUELLER AG [");  // ue is not ü
}

// Another program wrote bytes that are not UTF-8 into a current store: recall is still JSON,
// read as windows-1252 (whose unassigned bytes are C1 controls).
TEST_F(StoreTest, RecallOfBytesThatAreNotUtf8InACurrentStoreIsJson) {
  old_store("INSERT INTO entities VALUES (1, 'acme', 'Acme'); INSERT INTO records VALUES (1, 1,"
            " 'fact', 'general', 'M\xfcller', '\x80\x81', '', 0, '');  PRAGMA user_version=5;"
            "CREATE INDEX records_by_kind ON records (entity_id, kind, section, id);");
  SqliteStore s(dir_);
  const json::Value facts = *recalled(s, "acme").as_object().find("facts");
  EXPECT_EQ(facts, json::parse(R"({"general": [{"claim": "Müller", "source": "€\u0081", "date": "",
                                    "recorded": ""}]})"));
}

// Random bytes over a page of a store: refused before an upgrade, and after a writer died
// (a child that ends without closing leaves its WAL for the next opener to recover).
TEST_F(StoreTest, RefusesADamagedStoreBeforeAnUpgradeAndAfterAWriterDied) {
  const std::string records =
      "INSERT INTO entities VALUES (1, 'acme', 'Acme');"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
      " INSERT INTO records SELECT i, 1, 'fact', 'general', 'claim ' || i, '', '', 0, '' FROM n;"
      "CREATE INDEX records_by_entity ON records (entity_id, id);";
  for (const char* version : {"PRAGMA user_version=2;", "PRAGMA user_version=4;"}) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    old_store(records + version);
    if (std::string(version).ends_with("4;") && ::fork() == 0) {
      sqlite3* db = nullptr;
      sqlite3_open((dir_ / "memory.db").c_str(), &db);
      ::_exit(sqlite3_exec(db, "PRAGMA journal_mode=WAL; UPDATE entities SET name = 'ACME'",
                           nullptr, nullptr, nullptr));
    }
    ::wait(nullptr);
    std::fstream(dir_ / "memory.db", std::ios::in | std::ios::out | std::ios::binary)
        .seekp(40 * 4096)
        .write(std::string(4096, '\xa5').data(), 4096);
    const std::string p = (dir_ / "memory.db").string();
    const std::string error = error_of([&] { SqliteStore(dir_).record_negative("Acme", "n"); });
    EXPECT_TRUE(error.starts_with("memory store " + p + " is damaged (")) << version << error;
    EXPECT_TRUE(error.ends_with(
        "); save what it holds beside it with: sqlite3 " + p +
        " .dump | sed 's/^ROLLBACK; -- due to errors$/COMMIT;/' | sqlite3 " + p +
        ".rescued, check that sqlite3 " + p +
        ".rescued 'SELECT count(*) FROM records' counts its records, then mv " + p + " " + p +
        ".damaged && mv " + p + ".rescued " + p))
        << error;
  }
}

TEST_F(StoreTest, ADanglingLinkGetsTheStoreAtItsTarget) {
  fs::create_directories(dir_ / "synced");
  fs::create_directories(dir_ / "memory");
  fs::create_symlink("../synced/memory.db", dir_ / "memory" / "memory.db");
  SqliteStore(dir_ / "memory").record_negative("Acme", "none");
  EXPECT_EQ(SqliteStore(dir_ / "synced").all_entities().size(), 1u);
  fs::create_symlink("nowhere/memory.db", dir_ / "memory.db");
  EXPECT_EQ(error_of([&] { SqliteStore(dir_).init(); }),
            "memory store " + (dir_ / "memory.db").string() + " is a symbolic link to " +
                (dir_ / "nowhere/memory.db").string() +
                ", which does not exist and cannot be created");
}

// A first use that fails names the store, not the file it was building; what a killed one
// left is removed once it is old.
TEST_F(StoreTest, FirstUseNamesTheStoreAndLeavesNoTemporaryFiles) {
  for (const char* name : {".memory.db.new-1-2", ".memory.db.new-1-2-wal", ".memory.db.new-3-4"})
    files::write_file_atomic(dir_ / name, "x");
  for (const char* name : {".memory.db.new-1-2", ".memory.db.new-1-2-wal"})
    fs::last_write_time(dir_ / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{1024, old.rlim_max};  // fails the first write of the new database
  ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string error = error_of([&] { SqliteStore(dir_).init(); });
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(error.starts_with("memory store " + (dir_ / "memory.db").string() + ": ")) << error;
  SqliteStore(dir_).init();
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".memory.db.new-3-4", "memory.db"}));
}

}  // namespace
}  // namespace q9::memory
