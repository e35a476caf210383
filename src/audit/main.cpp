// The q9-audit program: a thin main over the audit command, and the check that everything
// printed reached standard output.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "audit/command.hpp"
#include "core/standard_fds.hpp"

int main(int argc, char** argv) {
  // Before the store is opened: its file or connection must never become standard output.
  if (!q9::standard_fds::guard_or_report("q9-audit")) return q9::audit::UNREADABLE;
  std::vector<std::string> args(argv + 1, argv + argc);
  // A stream closed at start stays one that cannot be written: /dev/null only holds its place.
  q9::Io io{{q9::standard_fds::for_writing(STDOUT_FILENO), true},
            {q9::standard_fds::for_writing(STDERR_FILENO), true}};
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
