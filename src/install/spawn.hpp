// The child-process layer under the names the installer's code and its suites use; it lives
// in process/spawn.hpp, shared with q9-screen.
#pragma once

#include "process/spawn.hpp"

namespace q9::install {

using process::ChildError;
using process::find_executable;
using process::pass_signals_to_children;
using process::run;
using process::RunResult;
using process::TimeoutError;

}  // namespace q9::install
