// The q9-screen command line: options, the names, and the run of one screen.
// Tests: screen_test.cpp.
#pragma once

#include <string>
#include <vector>

#include "core/out.hpp"
#include "screen/lists.hpp"

namespace q9::screen {

// Runs q9-screen with `args` (without the program name); returns the exit status. Usage
// errors print the usage line and "q9-screen: error: ..." to `err` and give 2. `floors`
// are FLOORS in the program; only a test build passes others.
int run_command(const std::vector<std::string>& args, Out& out, Out& err,
                const Floors& floors = FLOORS);

}  // namespace q9::screen
