// The streams a command writes to: the programs pass std::cout and std::cerr, tests pass
// string streams, so that every command runs in process.
#pragma once

#include <iosfwd>

namespace q9 {

struct Io {
  std::ostream& out;  // results and progress
  std::ostream& err;  // diagnostics and warnings
  // Whether `err` is a terminal, on which the installer may draw a status line.
  bool err_is_terminal = false;
};

}  // namespace q9
