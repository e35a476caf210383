// The q9-screen program: a thin main over the command.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/out.hpp"
#include "process/spawn.hpp"
#include "screen/command.hpp"

#ifndef Q9_SCREEN_FLOORS
#define Q9_SCREEN_FLOORS q9::screen::FLOORS
#endif

int main(int argc, char** argv) {
  // Ctrl-C reaches a running curl too, which leads a process group of its own.
  q9::process::pass_signals_to_children();
  q9::Out out(STDOUT_FILENO, true), err(STDERR_FILENO, true);
  const int status =
      q9::screen::run_command(std::vector<std::string>(argv + 1, argv + argc), out, err,
                              Q9_SCREEN_FLOORS);
  out.flush();
  const int lost = out.error();
  if (lost != 0 && lost != EPIPE) err << "q9-screen: error: standard output: " << std::strerror(lost) << '\n';
  err.flush();
  return lost != 0 ? 1 : status;
}
