// The q9 argument parser: a fixed grammar of subcommands described by a static table,
// parsed with the conventions of Python's argparse, which callers and scripts rely on
// (usage and help layout, error messages, option prefixes, the spreading of
// positionals between options).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/args.hpp"

namespace q9::cli {

// One argument of a parser level: what the parser accepts, where the value goes and how
// the help screens show it. The grammar declares positionals, flags and options; the
// parser adds -h/--help to every level and the subcommand slot to the top.
struct Argument {
  enum Kind { kHelp, kFlag, kOption, kPositional, kSubcommand };
  // The record's field that takes the value: a text, an optional text, or a flag's switch.
  using Field = std::variant<std::monostate, std::string Args::*,
                             std::optional<std::string> Args::*, bool Args::*>;

  const char* name = nullptr;  // "path" for a positional, "--json" for a flag or option
  Kind kind = kPositional;
  bool optional = false;                    // a positional that may be left out
  std::vector<std::string_view> choices{};  // empty: any text
  const char* help = nullptr;               // nullptr: no help line text
  bool integer = false;                     // the value converts like an integer literal
  Field field{};

  // "-h", "--help" for help; the name of a flag or option; none for a positional.
  std::vector<std::string> option_strings() const;
  // The name without its dashes: "help", "json", "path", "cmd".
  std::string dest() const;
  bool takes_value() const { return kind == kOption; }
  bool required() const { return (kind == kPositional && !optional) || kind == kSubcommand; }
  // Puts `value` into the field; a flag's field is set to true.
  void store(Args& args, std::string value) const;
};

struct Command {
  const char* name;
  const char* help;  // nullptr: listed among the choices without a help line
  Handler handler;
  std::vector<Argument> arguments;  // in declaration order
};

// The q9 grammar, in the order the help listing shows it.
std::span<const Command> commands();

// The canonical decimal text of an integer written as Python's int() reads it
// (surrounding white space, a sign, single '_' between digits); nullopt if malformed.
std::optional<std::string> parse_integer(std::string_view text);

// Parses argv (without the program name) against `grammar`. On a help request prints
// the help to io.out and sets status 0; on a usage error prints the usage and the
// message to io.err and sets status 2; in both cases returns nullopt.
std::optional<Args> parse_command_line(const std::vector<std::string>& argv,
                                       std::span<const Command> grammar, Io& io, int& status);

// run() over another grammar: parses, calls the chosen handler and returns its status;
// an exception from the handler becomes "q9: error: <what>" on io.err and status 1.
int run_command(const std::vector<std::string>& argv, std::span<const Command> grammar, Io& io);

}  // namespace q9::cli
