// The q9-screen command line: options, the names, and the run of one screen.
// Tests: screen_test.cpp.
#pragma once

#include <string>
#include <vector>

#include "core/out.hpp"
#include "screen/lists.hpp"
#include "screen/screen.hpp"

namespace q9::screen {

// Runs q9-screen with `args` (without the program name); returns the exit status. Usage
// errors print the usage line and "q9-screen: error: ..." to `err` and give 2. `floors`
// are FLOORS in the program; only a test build passes others. With `later`, large parsed
// forms are left there for the caller to write (see screen()).
int run_command(const std::vector<std::string>& args, Out& out, Out& err,
                const Floors& floors = FLOORS, std::vector<PendingWrite>* later = nullptr);

}  // namespace q9::screen
