// The grammar of one parser level as the parser and the help screens see it, and the
// usage and help texts in the layout of Python's argparse at 80 columns.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/parser.hpp"

namespace q9::cli::help {

// One argument of one parser level, help included.
struct Action {
  enum Kind { kHelp, kFlag, kOption, kPositional, kSubcommand };
  Kind kind = kHelp;
  std::vector<std::string> option_strings{};
  std::string dest{};
  bool optional = false;
  std::vector<std::string_view> choices{};
  const char* help = nullptr;
  bool integer = false;
  void (*store)(Args&, std::string) = nullptr;

  bool takes_value() const { return kind == kOption; }
  bool required() const { return (kind == kPositional && !optional) || kind == kSubcommand; }
};

struct Level {
  std::string prog;
  const char* description = nullptr;
  std::vector<Action> actions;
};

std::string join(const std::vector<std::string>& items, std::string_view sep);
// The placeholder of a value: "{a,b}" for choices, the upper-case name for an option.
std::string metavar(const Action& a);
// "usage: q9 record [-h] ...\n", wrapped like argparse when longer than a line.
std::string format_usage(const Level& lv);
// Usage, description and the argument sections; `grammar` lists the subcommands.
std::string format_help(const Level& lv, std::span<const Command> grammar);

}  // namespace q9::cli::help
