// The usage and help texts of one parser level, in the layout of Python's argparse at
// 80 columns.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/parser.hpp"

namespace q9::cli::help {

// One parser level: the top level or one subcommand.
struct Level {
  std::string prog;
  const char* description = nullptr;
  std::vector<Argument> arguments;
};

std::string join(const std::vector<std::string>& items, std::string_view sep);
// The placeholder of a value: "{a,b}" for choices, the upper-case name for an option.
std::string metavar(const Argument& a);
// "usage: q9 record [-h] ...\n", wrapped like argparse when longer than a line.
std::string format_usage(const Level& lv);
// Usage, description and the argument sections; `grammar` lists the subcommands.
std::string format_help(const Level& lv, std::span<const Command> grammar);

}  // namespace q9::cli::help
