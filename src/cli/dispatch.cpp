// q9infra.cli: the `q9` command. One entry point the agent (and you) call; a thin
// coordinator over the modules: validate, memory, report, doctrine, streams, version.
// This file holds the subcommand table and run(): parse, then call one handler.
#include <exception>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "cli/commands.hpp"
#include "cli/parser.hpp"
#include "memory/record_kind.hpp"

namespace q9::cli {
namespace {

using A = Argument;

// The subcommands in the order of the help listing; arguments in declaration order.
const std::vector<Command> COMMANDS = {
    {"validate",
     "check a report against the HTML contract",
     _cmd_validate,
     {
         {.name = "path", .kind = A::kPositional, .field = &Args::path},
         {.name = "--json", .kind = A::kFlag, .field = &Args::json},
     }},
    {"memory",
     "entity memory",
     _cmd_memory,
     {
         {.name = "memory_action",
          .kind = A::kPositional,
          .choices = {"recall", "init", "list"},
          .field = &Args::memory_action},
         {.name = "entity", .kind = A::kPositional, .optional = true, .field = &Args::entity},
     }},
    {"record",
     "record a sourced fact / negative / contradiction / report",
     _cmd_record,
     {
         {.name = "kind",
          .kind = A::kPositional,
          .choices = {std::begin(memory::RECORD_KINDS), std::end(memory::RECORD_KINDS)},
          .field = &Args::kind},
         {.name = "entity", .kind = A::kPositional, .field = &Args::entity},
         {.name = "section",
          .kind = A::kPositional,
          .optional = true,
          .help = "section (fact/contradiction only)",
          .field = &Args::section},
         {.name = "text",
          .kind = A::kPositional,
          .help = "the claim / note / report path",
          .field = &Args::text},
         {.name = "--source",
          .kind = A::kOption,
          .help = "citation source (fact only)",
          .field = &Args::source},
         {.name = "--date",
          .kind = A::kOption,
          .help = "YYYY-MM-DD fact date (default: today)",
          .field = &Args::date},
         {.name = "--version",
          .kind = A::kOption,
          .help = "report version (report only)",
          .integer = true,
          .field = &Args::version},
     }},
    {"report",
     "render a report from a JSON data file",
     _cmd_report,
     {
         {.name = "data", .kind = A::kPositional, .field = &Args::data},
         {.name = "--out", .kind = A::kOption, .field = &Args::out},
     }},
    {"doctrine", "print research doctrine", _cmd_doctrine, {}},
    {"streams",
     "list / brief a parallel research stream",
     _cmd_streams,
     {
         {.name = "stream", .kind = A::kPositional, .optional = true, .field = &Args::stream},
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
  } catch (const std::bad_alloc&) {
    io.out.flush();
    io.err << "q9: error: out of memory\n";
    return 1;
  } catch (const std::exception& e) {
    io.out.flush();
    io.err << "q9: error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace q9::cli
