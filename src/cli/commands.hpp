// The subcommand handlers of q9, one file each. Each returns the exit status;
// failures they do not handle are thrown and turned into a diagnostic by main.
#pragma once

#include <string>
#include <vector>

#include "cli/args.hpp"

namespace q9::cli {

int _cmd_validate(const Args& args, Io& io);
int _cmd_memory(const Args& args, Io& io);
int _cmd_record(const Args& args, Io& io);
int _cmd_report(const Args& args, Io& io);
int _cmd_doctrine(const Args& args, Io& io);
int _cmd_streams(const Args& args, Io& io);
int _cmd_version(const Args& args, Io& io);

// Parses argv (without the program name) and runs the chosen handler. Usage errors
// print to io.err and return 2; help prints to io.out and returns 0; an error thrown
// by a handler becomes one line "q9: error: <what>" on io.err and status 1.
int run(const std::vector<std::string>& argv, Io& io);

}  // namespace q9::cli
