// The q9 parser through parse_command_line() and run(): usage errors, help screens,
// the spreading of record's positionals, option prefixes and values, --version.
#include "cli/parser.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "cli/commands.hpp"

namespace q9::cli {
namespace {

struct Parsed {
  int status = -1;
  std::string out, err;
  std::optional<Args> args;
};

Parsed parse(const std::vector<std::string>& argv) {
  std::ostringstream out, err;
  Io io{out, err};
  Parsed p;
  p.args = parse_command_line(argv, commands(), io, p.status);
  p.out = out.str();
  p.err = err.str();
  return p;
}

const char* const kTopUsage =
    "usage: q9 [-h] {validate,memory,record,report,doctrine,streams,version} ...\n";
const char* const kRecordUsage =
    "usage: q9 record [-h] [--source SOURCE] [--date DATE] [--version VERSION]\n"
    "                 {fact,negative,contradiction,report} entity [section] text\n";

TEST(ParserTest, UsageErrorsGoToStandardErrorWithStatus2) {
  struct Case {
    std::vector<std::string> argv;
    std::string usage;
    std::string error;  // the line after the usage
  } cases[] = {
      {{}, kTopUsage, "q9: error: the following arguments are required: cmd"},
      {{"x"},
       kTopUsage,
       "q9: error: argument cmd: invalid choice: 'x' (choose from 'validate', 'memory', "
       "'record', 'report', 'doctrine', 'streams', 'version')"},
      {{"--", "version"},
       kTopUsage,
       "q9: error: argument cmd: invalid choice: '--' (choose from 'validate', 'memory', "
       "'record', 'report', 'doctrine', 'streams', 'version')"},
      {{"version", "extra"}, kTopUsage, "q9: error: unrecognized arguments: extra"},
      // Bytes that are not UTF-8 show as \udcXX, in plain and in quoted text.
      {{"version", "x\xff", "\xc3\xa9"},
       kTopUsage,
       "q9: error: unrecognized arguments: x\\udcff \xc3\xa9"},
      {{"-x", "version", "y"}, kTopUsage, "q9: error: unrecognized arguments: -x y"},
      {{"-x"}, kTopUsage, "q9: error: the following arguments are required: cmd"},
      {{"--he=x"}, kTopUsage, "q9: error: argument -h/--help: ignored explicit argument 'x'"},
      {{"memory", "it's\xe2\x82"},
       "usage: q9 memory [-h] {recall,init,list} [entity]\n",
       "q9 memory: error: argument memory_action: invalid choice: \"it's\\udce2\\udc82\" (choose "
       "from 'recall', 'init', 'list')"},
      {{"memory", "forget"},
       "usage: q9 memory [-h] {recall,init,list} [entity]\n",
       "q9 memory: error: argument memory_action: invalid choice: 'forget' (choose from "
       "'recall', 'init', 'list')"},
      {{"memory", "recall", "--x", "acme"},
       kTopUsage,
       "q9: error: unrecognized arguments: --x acme"},
      {{"validate"},
       "usage: q9 validate [-h] [--json] path\n",
       "q9 validate: error: the following arguments are required: path"},
      {{"validate", "--json=1", "a"},
       "usage: q9 validate [-h] [--json] path\n",
       "q9 validate: error: argument --json: ignored explicit argument '1'"},
      {{"validate", "--=x", "a"},
       "usage: q9 validate [-h] [--json] path\n",
       "q9 validate: error: ambiguous option: --=x could match --help, --json"},
      {{"record", "fact", "acme"},
       kRecordUsage,
       "q9 record: error: the following arguments are required: text"},
      {{"record"},
       kRecordUsage,
       "q9 record: error: the following arguments are required: kind, entity, text"},
      {{"record", "bogus", "acme", "claim"},
       kRecordUsage,
       "q9 record: error: argument kind: invalid choice: 'bogus' (choose from 'fact', "
       "'negative', 'contradiction', 'report')"},
      {{"record", "fact", "acme", "people", "claim", "more"},
       kTopUsage,
       "q9: error: unrecognized arguments: more"},
      {{"record", "fact", "acme", "people", "--source", "s", "claim"},
       kTopUsage,
       "q9: error: unrecognized arguments: claim"},
      {{"record", "fact", "a", "b", "--source"},
       kRecordUsage,
       "q9 record: error: argument --source: expected one argument"},
      {{"record", "fact", "a", "b", "--source", "--date", "d"},
       kRecordUsage,
       "q9 record: error: argument --source: expected one argument"},
      {{"record", "report", "a", "o", "--version", "two"},
       kRecordUsage,
       "q9 record: error: argument --version: invalid int value: 'two'"},
      {{"record", "report", "a", "o", "--version", "0x10"},
       kRecordUsage,
       "q9 record: error: argument --version: invalid int value: '0x10'"},
      {{"record", "report", "a", "o", "--version=1.0"},
       kRecordUsage,
       "q9 record: error: argument --version: invalid int value: '1.0'"},
      {{"record", "report", "a", "o", "--version", "it's"},
       kRecordUsage,
       "q9 record: error: argument --version: invalid int value: \"it's\""},
      // A usage error found first wins over a later help request.
      {{"record", "fact", "a", "b", "--version", "x", "--help"},
       kRecordUsage,
       "q9 record: error: argument --version: invalid int value: 'x'"},
      {{"report", "d", "--out"},
       "usage: q9 report [-h] [--out OUT] data\n",
       "q9 report: error: argument --out: expected one argument"},
      {{"report", "d", "--out", "--"},
       "usage: q9 report [-h] [--out OUT] data\n",
       "q9 report: error: argument --out: expected one argument"},
      {{"streams", "a", "b"}, kTopUsage, "q9: error: unrecognized arguments: b"},
      {{"streams", "-h=1"},
       "usage: q9 streams [-h] [stream]\n",
       "q9 streams: error: argument -h/--help: ignored explicit argument '1'"},
      {{"doctrine", "x"}, kTopUsage, "q9: error: unrecognized arguments: x"},
  };
  for (const Case& c : cases) {
    std::ostringstream out, err;
    Io io{out, err};
    EXPECT_EQ(run(c.argv, io), 2) << testing::PrintToString(c.argv);
    EXPECT_EQ(out.str(), "") << testing::PrintToString(c.argv);
    EXPECT_EQ(err.str(), c.usage + c.error + "\n") << testing::PrintToString(c.argv);
  }
}

TEST(ParserTest, TopLevelHelpListsTheSubcommandsInOrder) {
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{"-h"}, {"--help"}, {"--h"}, {"--help", "version"}}) {
    Parsed p = parse(argv);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out,
              std::string(kTopUsage) +
                  "\n"
                  "Varnook Q9 dossier infrastructure\n"
                  "\n"
                  "positional arguments:\n"
                  "  {validate,memory,record,report,doctrine,streams,version}\n"
                  "    validate            check a report against the HTML contract\n"
                  "    memory              entity memory\n"
                  "    record              record a sourced fact / negative / contradiction /\n"
                  "                        report\n"
                  "    report              render a report from a JSON data file\n"
                  "    doctrine            print research doctrine\n"
                  "    streams             list / brief a parallel research stream\n"
                  "\n"
                  "options:\n"
                  "  -h, --help            show this help message and exit\n");
  }
}

TEST(ParserTest, SubcommandHelpScreens) {
  struct Case {
    std::vector<std::string> argv;
    std::string help;
  } cases[] = {
      {{"record", "fact", "a", "b", "--he"},
       std::string(kRecordUsage) + "\n"
                                   "positional arguments:\n"
                                   "  {fact,negative,contradiction,report}\n"
                                   "  entity\n"
                                   "  section               section (fact/contradiction only)\n"
                                   "  text                  the claim / note / report path\n"
                                   "\n"
                                   "options:\n"
                                   "  -h, --help            show this help message and exit\n"
                                   "  --source SOURCE       citation source (fact only)\n"
                                   "  --date DATE           YYYY-MM-DD fact date (default: today)\n"
                                   "  --version VERSION     report version (report only)\n"},
      {{"memory", "-hh"},
       "usage: q9 memory [-h] {recall,init,list} [entity]\n"
       "\n"
       "positional arguments:\n"
       "  {recall,init,list}\n"
       "  entity\n"
       "\n"
       "options:\n"
       "  -h, --help          show this help message and exit\n"},
      {{"validate", "--help", "--bogus"},
       "usage: q9 validate [-h] [--json] path\n"
       "\n"
       "positional arguments:\n"
       "  path\n"
       "\n"
       "options:\n"
       "  -h, --help  show this help message and exit\n"
       "  --json\n"},
      {{"version", "-h"},
       "usage: q9 version [-h]\n"
       "\n"
       "options:\n"
       "  -h, --help  show this help message and exit\n"},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.argv);
    EXPECT_EQ(p.status, 0) << testing::PrintToString(c.argv);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out, c.help) << testing::PrintToString(c.argv);
  }
}

TEST(ParserTest, RecordPositionalsAndOptions) {
  using O = std::optional<std::string>;
  struct Case {
    std::vector<std::string> argv;
    std::string kind;
    O entity, section;
    std::string text, source;
    O date;
    std::string version;
  } cases[] = {
      {{"record", "fact", "acme", "claim"}, "fact", "acme", {}, "claim", "", {}, "1"},
      {{"record", "fact", "acme", "people", "claim"},
       "fact",
       "acme",
       "people",
       "claim",
       "",
       {},
       "1"},
      {{"record", "negative", "acme", "none-found", "--source", "x", "--date", "2024-01-01"},
       "negative",
       "acme",
       {},
       "none-found",
       "x",
       "2024-01-01",
       "1"},
      // Options between positionals: the section slot is passed over at the option.
      {{"record", "fact", "acme", "--source", "s", "claim"},
       "fact",
       "acme",
       {},
       "claim",
       "s",
       {},
       "1"},
      {{"record", "--sou", "s", "fact", "acme", "people", "claim"},
       "fact",
       "acme",
       "people",
       "claim",
       "s",
       {},
       "1"},
      {{"record", "fact", "a", "b", "--source=", "--date="}, "fact", "a", {}, "b", "", "", "1"},
      {{"record", "fact", "a", "b", "--so", "x", "--source", "y", "--d", "1", "--da=2"},
       "fact",
       "a",
       {},
       "b",
       "y",
       "2",
       "1"},
      {{"record", "fact", "a", "b", "--source", "-", "--date", "-5"},
       "fact",
       "a",
       {},
       "b",
       "-",
       "-5",
       "1"},
      {{"record", "fact", "--", "acme", "-x"}, "fact", "acme", {}, "-x", "", {}, "1"},
      {{"record", "report", "acme", "out.html", "--version", "3"},
       "report",
       "acme",
       {},
       "out.html",
       "",
       {},
       "3"},
      {{"record", "report", "a", "o", "--v", " -0_12 "}, "report", "a", {}, "o", "", {}, "-12"},
      {{"record", "report", "a", "o", "--version=-5"}, "report", "a", {}, "o", "", {}, "-5"},
      {{"record", "report", "a", "o", "--version", "123456789012345678901234567890"},
       "report",
       "a",
       {},
       "o",
       "",
       {},
       "123456789012345678901234567890"},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.argv);
    const std::string where = testing::PrintToString(c.argv);
    ASSERT_TRUE(p.args) << where << "\n" << p.err;
    const Args& a = *p.args;
    EXPECT_EQ(a.cmd, "record") << where;
    EXPECT_EQ(a.func, &_cmd_record) << where;
    EXPECT_EQ(a.kind, c.kind) << where;
    EXPECT_EQ(a.entity, c.entity) << where;
    EXPECT_EQ(a.section, c.section) << where;
    EXPECT_EQ(a.text, c.text) << where;
    EXPECT_EQ(a.source, c.source) << where;
    EXPECT_EQ(a.date, c.date) << where;
    EXPECT_EQ(a.version, c.version) << where;
  }
}

TEST(ParserTest, OtherSubcommandsFillTheirFields) {
  Parsed p = parse({"validate", "--js", "r.html"});
  ASSERT_TRUE(p.args);
  EXPECT_EQ(p.args->path, "r.html");
  EXPECT_TRUE(p.args->json);
  EXPECT_EQ(p.args->func, &_cmd_validate);

  p = parse({"validate", "--", "--json"});
  ASSERT_TRUE(p.args);
  EXPECT_EQ(p.args->path, "--json");
  EXPECT_FALSE(p.args->json);

  p = parse({"memory", "list"});
  ASSERT_TRUE(p.args);
  EXPECT_EQ(p.args->memory_action, "list");
  EXPECT_EQ(p.args->entity, std::nullopt);

  p = parse({"report", "--o", "x.html", "d.json"});
  ASSERT_TRUE(p.args);
  EXPECT_EQ(p.args->data, "d.json");
  EXPECT_EQ(p.args->out, "x.html");

  p = parse({"report", "d.json", "--out="});
  ASSERT_TRUE(p.args);
  EXPECT_EQ(p.args->out, "");

  p = parse({"report", "d.json", "--out", "-1.5"});
  ASSERT_TRUE(p.args);
  EXPECT_EQ(p.args->out, "-1.5");

  p = parse({"report", "-.5\n", "--out", "-2\n"});
  ASSERT_TRUE(p.args) << p.err;
  EXPECT_EQ(p.args->data, "-.5\n");
  EXPECT_EQ(p.args->out, "-2\n");

  for (auto [argv, stream] :
       {std::pair<std::vector<std::string>, std::optional<std::string>>{{"streams"}, std::nullopt},
        {{"streams", ""}, ""},
        {{"streams", "-"}, "-"},
        {{"streams", "--", "--"}, "--"}}) {
    p = parse(argv);
    ASSERT_TRUE(p.args) << testing::PrintToString(argv);
    EXPECT_EQ(p.args->stream, stream) << testing::PrintToString(argv);
  }
}

TEST(ParserTest, IntegerConversion) {
  struct Case {
    std::string text;
    std::optional<std::string> value;
  } cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"+7", "7"},
      {"007", "7"},
      {"1_000", "1000"},
      {" \t12\n", "12"},
      {"\u00a012\u3000", "12"},
      {"-0_0", "0"},
      {"", {}},
      {" ", {}},
      {"-", {}},
      {"1__0", {}},
      {"_1", {}},
      {"1_", {}},
      {"+_1", {}},
      {"0x10", {}},
      {"1.0", {}},
      {"1e3", {}},
      {"--1", {}},
      {"1 2", {}},
      {"\xff"
       "1",
       {}},
      {"1\xe3\x80", {}},
      {"\xc0\xa0"
       "1",
       {}},  // an overlong space is no space
  };
  for (const Case& c : cases) EXPECT_EQ(parse_integer(c.text), c.value) << c.text;
}

int _throws(const Args& args, Io& io) {
  io.out << "partial\n";
  if (args.path == "runtime") throw std::runtime_error("data.json: line 3 column 14: expected ','");
  throw std::out_of_range("x.db: bad record");
}

int _returns(const Args& args, Io&) { return args.json ? 1 : 0; }

TEST(RunTest, HandlerStatusAndErrors) {
  const std::vector<Command> grammar = {
      {"boom", "fails", _throws, {{.name = "path", .field = &Args::path}}},
      {"ok",
       nullptr,
       _returns,
       {{.name = "--json", .kind = Argument::kFlag, .field = &Args::json}}},
  };
  struct Case {
    std::vector<std::string> argv;
    int status;
    std::string out, err;
  } cases[] = {
      {{"boom", "runtime"},
       1,
       "partial\n",
       "q9: error: data.json: line 3 column 14: expected ','\n"},
      {{"boom", "other"}, 1, "partial\n", "q9: error: x.db: bad record\n"},
      {{"ok"}, 0, "", ""},
      {{"ok", "--j"}, 1, "", ""},
      {{"nope"},
       2,
       "",
       "usage: q9 [-h] {boom,ok} ...\n"
       "q9: error: argument cmd: invalid choice: 'nope' (choose from 'boom', 'ok')\n"},
  };
  for (const Case& c : cases) {
    std::ostringstream out, err;
    Io io{out, err};
    EXPECT_EQ(run_command(c.argv, grammar, io), c.status) << testing::PrintToString(c.argv);
    EXPECT_EQ(out.str(), c.out) << testing::PrintToString(c.argv);
    EXPECT_EQ(err.str(), c.err) << testing::PrintToString(c.argv);
  }
}

}  // namespace
}  // namespace q9::cli
