// The q9 argument parser: a fixed grammar of subcommands described by a static table,
// parsed with the conventions of Python's argparse, which callers and scripts rely on
// (usage and help layout, error messages, option prefixes, the spreading of
// positionals between options).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.hpp"

namespace q9::cli {

// One declared argument of a subcommand.
struct Argument {
  enum Kind { kPositional, kFlag, kOption };
  const char* name = nullptr;  // "path" for a positional, "--json" for a flag or option
  Kind kind = kPositional;
  bool optional = false;                    // a positional that may be left out
  std::vector<std::string_view> choices{};  // empty: any text
  const char* help = nullptr;               // nullptr: no help line text
  bool integer = false;                     // the value converts like an integer literal
  // Stores a value in the record; a flag is stored with an empty value.
  void (*store)(Args& args, std::string value) = nullptr;
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
