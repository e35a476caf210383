// q9infra.cli: the `q9` command. One entry point the agent (and you) call; a thin
// coordinator over the modules: validate, memory, report, doctrine, streams, version.
// This file holds the subcommand table and run(): parse, then call one handler.
#include <exception>
#include <string>
#include <utility>

#include "cli/commands.hpp"
#include "cli/parser.hpp"

namespace q9::cli {
namespace {

using A = Argument;

// Where each argument's value goes in the record.
void path(Args& a, std::string v) { a.path = std::move(v); }
void json(Args& a, std::string) { a.json = true; }
void memory_action(Args& a, std::string v) { a.memory_action = std::move(v); }
void entity(Args& a, std::string v) { a.entity = std::move(v); }
void kind(Args& a, std::string v) { a.kind = std::move(v); }
void section(Args& a, std::string v) { a.section = std::move(v); }
void text(Args& a, std::string v) { a.text = std::move(v); }
void source(Args& a, std::string v) { a.source = std::move(v); }
void date(Args& a, std::string v) { a.date = std::move(v); }
void version(Args& a, std::string v) { a.version = std::move(v); }
void data(Args& a, std::string v) { a.data = std::move(v); }
void out(Args& a, std::string v) { a.out = std::move(v); }
void stream(Args& a, std::string v) { a.stream = std::move(v); }

// The subcommands in the order of the help listing; arguments in declaration order.
const std::vector<Command> COMMANDS = {
    {"validate",
     "check a report against the HTML contract",
     _cmd_validate,
     {
         {.name = "path", .kind = A::kPositional, .store = path},
         {.name = "--json", .kind = A::kFlag, .store = json},
     }},
    {"memory",
     "entity memory",
     _cmd_memory,
     {
         {.name = "memory_action",
          .kind = A::kPositional,
          .choices = {"recall", "init", "list"},
          .store = memory_action},
         {.name = "entity", .kind = A::kPositional, .optional = true, .store = entity},
     }},
    {"record",
     "record a sourced fact / negative / contradiction / report",
     _cmd_record,
     {
         {.name = "kind",
          .kind = A::kPositional,
          .choices = {"fact", "negative", "contradiction", "report"},
          .store = kind},
         {.name = "entity", .kind = A::kPositional, .store = entity},
         {.name = "section",
          .kind = A::kPositional,
          .optional = true,
          .help = "section (fact/contradiction only)",
          .store = section},
         {.name = "text",
          .kind = A::kPositional,
          .help = "the claim / note / report path",
          .store = text},
         {.name = "--source",
          .kind = A::kOption,
          .help = "citation source (fact only)",
          .store = source},
         {.name = "--date",
          .kind = A::kOption,
          .help = "YYYY-MM-DD fact date (default: today)",
          .store = date},
         {.name = "--version",
          .kind = A::kOption,
          .help = "report version (report only)",
          .integer = true,
          .store = version},
     }},
    {"report",
     "render a report from a JSON data file",
     _cmd_report,
     {
         {.name = "data", .kind = A::kPositional, .store = data},
         {.name = "--out", .kind = A::kOption, .store = out},
     }},
    {"doctrine", "print research doctrine", _cmd_doctrine, {}},
    {"streams",
     "list / brief a parallel research stream",
     _cmd_streams,
     {
         {.name = "stream", .kind = A::kPositional, .optional = true, .store = stream},
     }},
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
