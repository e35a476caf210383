// The screen over the fixture lists: spellings of names against entries, the command line,
// the exit statuses and the JSON form.
#include "screen/screen.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>

#include "screen/command.hpp"
#include "screen/normalize.hpp"
#include "testing/support.hpp"

namespace q9::screen {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

constexpr Floors TEST_FLOORS{3, 2, 3, 3, 3, 6};
const fs::path FIXTURES = fs::path(Q9_SOURCE_DIR) / "tests/screen/fixtures";

// "list=id,id" per list with full hits, then "list~id,id" per list with partials.
std::string summary(const std::string& name) {
  Options o;
  for (const ListInfo& l : all_lists()) o.lists.push_back(&l);
  o.names = {name};
  o.from = FIXTURES;
  o.floors = TEST_FLOORS;
  std::string full, partial;
  for (const ListOutcome& out : screen(o)) {
    EXPECT_TRUE(out.screened) << out.list->name << ": " << out.reason;
    const QueryResult& r = out.results.at(0);
    auto ids = [](const std::vector<Entry>& es) {
      std::string s;
      for (const Entry& e : es) s += (s.empty() ? "" : ",") + e.id;
      return s;
    };
    if (!r.full.empty())
      full += (full.empty() ? "" : " ") + std::string(out.list->name) + "=" + ids(r.full);
    if (!r.partial.empty()) {
      partial += (partial.empty() ? "" : " ") + std::string(out.list->name) + "~" + ids(r.partial);
    }
  }
  return full + (partial.empty() ? "" : " | " + partial);
}

TEST(Screen, SpellingsOfANameFindTheSameEntries) {
  const std::string MUELLER = "ofac-sdn=7001,7002 un=KPi.077 eu=EU.40.12 icij=12000001";
  const struct {
    const char* name;
    std::string want;
  } ROWS[] = {
      // Accents both ways, order, case, compatibility forms.
      {"Hans Müller", MUELLER},
      {"HANS MUELLER", MUELLER},
      {"Müller, Hans", MUELLER},
      {"Hans Mu\u0308ller", MUELLER},
      {"Ｈａｎｓ　Ｍüｌｌｅｒ", MUELLER},
      {"José Ramón Gómez", "un=CDi.041"},
      {"GOMEZ Jose Ramon", "un=CDi.041"},
      {"Umit Denizcilik", "un=QDe.201"},
      {"Ümit Shipping A.Ş.", "un=QDe.201"},
      {"Иван Петров", "uk=RUS1234 eu=EU.27.28"},
      {"Ivan Petroff", "uk=RUS1234 | eu~EU.27.28"},
      // Apostrophes, straight, curled or left out.
      {"Sean O'Brien", "ofac-sdn=7003 icij=12000002"},
      {"Sean O’Brien", "ofac-sdn=7003 icij=12000002"},
      {"Sean OBrien", "ofac-sdn=7003 icij=12000002"},
      {"Siobhan ONeill", "uk=CYB0043"},
      // Legal forms, written out, abbreviated, or another country's.
      {"Northwind Trading Public Company Limited", "ofac-sdn=7004 uk=RUS2001 | icij~10000003"},
      {"NORTHWIND TRADING CO., LTD.", "ofac-sdn=7004 uk=RUS2001 | icij~10000003"},
      {"Öl-Handel Nord AG", "eu=EU.31.99"},
      {"Oel Handel Nord", "eu=EU.31.99"},
      // An alias of ALT.CSV, joined to its SDN entry.
      {"Johannes Mueller", "ofac-sdn=7001 | un~KPi.077 eu~EU.40.12 icij~10000002,12000001"},
      // A namesake: only the rarest token, with the dates of birth to rule each out.
      {"Hans Schmidt", "| ofac-sdn~7001,7002 un~KPi.077 eu~EU.40.12 icij~12000001"},
      {"Nobody Atall", ""},
  };
  for (const auto& row : ROWS) {
    std::string want = row.want;
    if (want.starts_with("| ")) want = " " + want;
    EXPECT_EQ(summary(row.name), want) << row.name;
  }
}

TEST(Screen, AHitCarriesWhatRulesItInOrOut) {
  Options o;
  o.lists = {find_list("ofac-sdn")};
  o.names = {"Hans Muller"};
  o.from = FIXTURES;
  o.floors = TEST_FLOORS;
  const ListOutcome out = screen(o).at(0);
  ASSERT_EQ(out.results.at(0).full.size(), 2u);
  const Entry& e = out.results[0].full[0];
  EXPECT_EQ(e.names, (std::vector<std::string>{"MUELLER, Hans", "MUELLER, Johannes"}));
  EXPECT_EQ(e.type, "individual");
  EXPECT_EQ(e.programs, (std::vector<std::string>{"SDGT", "IRGC"}));
  EXPECT_EQ(e.dob, (std::vector<std::string>{"12 Mar 1961"}));
  EXPECT_EQ(e.nationality, (std::vector<std::string>{"Germany"}));
  EXPECT_EQ(out.results[0].full[1].dob, (std::vector<std::string>{"03 Jul 1975"}));
}

struct Ran {
  int status;
  std::string out, err;
};

Ran run(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Out o(out), e(err);
  const int status = run_command(args, o, e, TEST_FLOORS);
  return {status, out.str(), err.str()};
}

TEST(Command, UsageErrorsNameTheArgument) {
  const std::string USAGE =
      "usage: q9-screen [-h] [--lists LIST,...] [--from DIR] [--max-age HOURS] [--json] NAME "
      "[NAME ...]\n";
  const struct {
    std::vector<std::string> args;
    const char* error;
  } ROWS[] = {
      {{}, "the following arguments are required: NAME"},
      {{"--json"}, "the following arguments are required: NAME"},
      {{"--lists", "un,ofac", "x"},
       "argument --lists: unknown list 'ofac' (choose from ofac-sdn, un, uk, eu, icij)"},
      {{"--lists=", "x"},
       "argument --lists: unknown list '' (choose from ofac-sdn, un, uk, eu, icij)"},
      {{"--max-age", "0", "x"}, "argument --max-age: expected a number of hours above 0, not '0'"},
      {{"--max-age=nan", "x"}, "argument --max-age: expected a number of hours above 0, not 'nan'"},
      {{"--max-age", "12h", "x"},
       "argument --max-age: expected a number of hours above 0, not '12h'"},
      {{"--from"}, "argument --from: expected one argument"},
      {{"--form", "d", "x"}, "unrecognized argument: --form"},
      {{"--", "..."}, "name '...' has no letters or digits"},
  };
  for (const auto& row : ROWS) {
    const Ran r = run(row.args);
    EXPECT_EQ(r.status, 2) << row.error;
    EXPECT_EQ(r.err, USAGE + "q9-screen: error: " + row.error + "\n");
    EXPECT_EQ(r.out, "");
  }
  const Ran help = run({"x", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with(USAGE)) << help.out;
}

TEST(Command, ExitStatusOnlyASanctionsHitOrAListNotScreenedChanges) {
  const std::string from = "--from=" + FIXTURES.string();
  EXPECT_EQ(run({from, "Hans Müller"}).status, 1);
  EXPECT_EQ(run({from, "Nobody Atall"}).status, 0);
  EXPECT_EQ(run({from, "--lists", "icij", "Sean O'Brien"}).status, 0);  // a lead, no sanction
  EXPECT_EQ(run({from, "Hans Schmidt"}).status, 0);                     // partials only
  TempDir empty;
  const Ran missing = run({"--from", empty.path().string(), "--lists", "un,icij", "Hans Müller"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.out, "un: not screened: " + (empty / "un.xml").string() +
                             ": No such file or directory\nicij: not screened: " +
                             (empty / "icij.zip").string() +
                             ": No such file or directory\nno hits and no partials on the lists "
                             "screened\n");
}

// A hit the caller never received must not read as a sanctions hit, nor as a clear screen.
TEST(Command, AnAnswerThatCannotBeWrittenIsNotScreened) {
  TempDir dir;
  const std::string command = "OPENCODE_CONFIG_DIR=" + dir.path().string() +
                              " " Q9_BINARY_DIR "/src/screen/lowfloor/q9-screen --from " +
                              FIXTURES.string() + " 'Hans Müller' >&- 2>" + (dir / "err").string();
  const int raw = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(raw), 3);
  EXPECT_EQ(test::read_text(dir / "err"),
            "q9-screen: error: standard output: Bad file descriptor\n");
}

TEST(Command, JsonGivesEachListAndEachHit) {
  TempDir from;
  fs::copy_file(FIXTURES / "un.xml", from / "un.xml");
  const auto when = std::chrono::file_clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(from / "un.xml", when);
  const Ran r =
      run({"--json", "--from", from.path().string(), "--lists", "un,uk", "Jose Ramon Gomez"});
  EXPECT_EQ(r.status, 1);  // a sanctions hit outranks a list not screened
  // The fetched time is the file's; cut it out of the comparison.
  std::string out = r.out;
  const size_t at = out.find("\"fetched\": \"");
  ASSERT_NE(at, std::string::npos);
  out.replace(at + 12, 20, "T");
  EXPECT_EQ(out, R"({
  "lists": [
    {
      "list": "un",
      "status": "screened",
      "reason": null,
      "entries": 3,
      "published": "2026-02-03T09:15:02.317Z",
      "fetched": "T",
      "sha256": "831de6b8d08f66949a3269cda1b784e5a12795893f2b75be0f53b0b670861873"
    },
    {
      "list": "uk",
      "status": "not screened",
      "reason": ")" + (from / "uk.csv").string() +
                     R"(: No such file or directory",
      "entries": null,
      "published": null,
      "fetched": null,
      "sha256": null
    }
  ],
  "hits": [
    {
      "list": "un",
      "id": "CDi.041",
      "names": [
        "JOS\u00c9 RAM\u00d3N G\u00d3MEZ",
        "Pepe Gomez"
      ],
      "type": "individual",
      "programs": [
        "DRC"
      ],
      "dob": [
        "1970-04-14"
      ],
      "nationality": [
        "Democratic Republic of the Congo"
      ],
      "listed_on": "2016-12-12",
      "query": "Jose Ramon Gomez",
      "match": "full"
    }
  ],
  "counts": [
    {
      "list": "un",
      "query": "Jose Ramon Gomez",
      "full": 1,
      "partial": 0
    }
  ]
}
)");
}

}  // namespace
}  // namespace q9::screen
