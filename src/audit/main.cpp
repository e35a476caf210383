// The q9-audit program: a thin main over the audit command, and the check that everything
// printed reached standard output.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "audit/command.hpp"
#include "core/files.hpp"

int main(int argc, char** argv) {
  // The lists of facts grow by doubling: freed buffers stay on the heap for the next size.
  q9::files::tune_heap();
  std::vector<std::string> args(argv + 1, argv + argc);
  q9::Io io{{STDOUT_FILENO, true}, {STDERR_FILENO, true}};
  int status = q9::audit::run(args, io);
  io.out.flush();
  const int lost = io.out.error();
  // A reader that went away (q9-audit ... | head) wants no more and hears nothing; any other
  // failure to write is no verdict on the figures.
  if (lost != 0 && lost != EPIPE) {
    io.err << "q9-audit: error: standard output: " << std::strerror(lost) << '\n';
  }
  io.err.flush();
  return lost != 0 ? q9::audit::UNREADABLE : status;
}
