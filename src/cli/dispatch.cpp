// q9infra.cli: the `q9` command. One entry point the agent (and you) call; a thin
// coordinator over the modules: validate, memory, report, doctrine, streams, version.
// This file holds the subcommand table and run(): parse, then call one handler.
#include <exception>
#include <ostream>

#include "cli/commands.hpp"
#include "cli/parser.hpp"

namespace q9::cli {
namespace {

using A = Argument;

const std::vector<Command> COMMANDS = {
    {"validate", "check a report against the HTML contract", _cmd_validate,
     {{"path", A::kPositional, false, {}, nullptr, false,
       [](Args& a, std::string v) { a.path = std::move(v); }},
      {"--json", A::kFlag, false, {}, nullptr, false,
       [](Args& a, std::string) { a.json = true; }}}},
    {"memory", "entity memory", _cmd_memory,
     {{"memory_action", A::kPositional, false, {"recall", "init", "list"}, nullptr, false,
       [](Args& a, std::string v) { a.memory_action = std::move(v); }},
      {"entity", A::kPositional, true, {}, nullptr, false,
       [](Args& a, std::string v) { a.entity = std::move(v); }}}},
    {"record", "record a sourced fact / negative / contradiction / report", _cmd_record,
     {{"kind", A::kPositional, false, {"fact", "negative", "contradiction", "report"}, nullptr,
       false, [](Args& a, std::string v) { a.kind = std::move(v); }},
      {"entity", A::kPositional, false, {}, nullptr, false,
       [](Args& a, std::string v) { a.entity = std::move(v); }},
      {"section", A::kPositional, true, {}, "section (fact/contradiction only)", false,
       [](Args& a, std::string v) { a.section = std::move(v); }},
      {"text", A::kPositional, false, {}, "the claim / note / report path", false,
       [](Args& a, std::string v) { a.text = std::move(v); }},
      {"--source", A::kOption, false, {}, "citation source (fact only)", false,
       [](Args& a, std::string v) { a.source = std::move(v); }},
      {"--date", A::kOption, false, {}, "YYYY-MM-DD fact date (default: today)", false,
       [](Args& a, std::string v) { a.date = std::move(v); }},
      {"--version", A::kOption, false, {}, "report version (report only)", true,
       [](Args& a, std::string v) { a.version = std::move(v); }}}},
    {"report", "render a report from a JSON data file", _cmd_report,
     {{"data", A::kPositional, false, {}, nullptr, false,
       [](Args& a, std::string v) { a.data = std::move(v); }},
      {"--out", A::kOption, false, {}, nullptr, false,
       [](Args& a, std::string v) { a.out = std::move(v); }}}},
    {"doctrine", "print research doctrine", _cmd_doctrine, {}},
    {"streams", "list / brief a parallel research stream", _cmd_streams,
     {{"stream", A::kPositional, true, {}, nullptr, false,
       [](Args& a, std::string v) { a.stream = std::move(v); }}}},
    {"version", nullptr, _cmd_version, {}},
};

}  // namespace

std::span<const Command> commands() { return COMMANDS; }

int run(const std::vector<std::string>& argv, Io& io) { return run_command(argv, COMMANDS, io); }

int run_command(const std::vector<std::string>& argv, std::span<const Command> grammar, Io& io) {
  int status = 0;
  std::optional<Args> args = parse_command_line(argv, grammar, io, status);
  if (!args) return status;
  try {
    return args->func(*args, io);
  } catch (const std::exception& e) {
    io.out.flush();
    io.err << "q9: error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace q9::cli
