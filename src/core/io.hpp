// The streams a command writes to: the programs pass their standard output and error,
// tests pass string streams, so that every command runs in process.
#pragma once

#include "core/out.hpp"

namespace q9 {

struct Io {
  Out out;  // results and progress
  Out err;  // diagnostics and warnings
  // Whether `err` is a terminal, on which the installer may draw a status line.
  bool err_is_terminal = false;
};

}  // namespace q9
