// The q9-install program: a thin main over the installer command.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "install/install.hpp"
#include "process/spawn.hpp"

int main(int argc, char** argv) {
  q9::process::pass_signals_to_children();
  q9::install::Io io{std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1};
  try {
    return q9::install::run_installer(std::vector<std::string>(argv + 1, argv + argc), io);
  } catch (const std::exception& e) {
    // Only a missing home directory or a broken build gets here.
    q9::install::_warn(io, e.what());
    return 1;
  }
}
