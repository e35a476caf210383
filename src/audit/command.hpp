// The q9-audit command: q9-audit DATA [--entity NAME] [--json].
#pragma once

#include <string>
#include <vector>

#include "core/io.hpp"

namespace q9::audit {

// Exit statuses: nothing unsourced (warnings allowed), a figure unsourced, a usage error, and
// a data file or store that cannot be read, which says nothing of the figures.
enum Exit { OK = 0, UNSOURCED = 1, USAGE = 2, UNREADABLE = 3 };

// Runs the command on `args` (the arguments after the program's name) and returns its exit
// status. Results go to io.out, diagnostics (one line) to io.err.
int run(const std::vector<std::string>& args, Io& io);

}  // namespace q9::audit
