// The q9 program: a thin main over the command module, and the check that everything
// printed reached standard output.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "core/atomic_write.hpp"
#include "core/standard_fds.hpp"

int main(int argc, char** argv) {
  // Before anything is opened: a store or connection must never become standard output.
  if (!q9::standard_fds::guard_or_report("q9")) return 1;
  std::vector<std::string> args(argv + 1, argv + argc);
  // Both held until the end of the command (or some tens of kilobytes), and standard
  // output first, so that a diagnostic follows what was printed before it.
  // A stream closed at start stays one that cannot be written: /dev/null only holds its place.
  q9::cli::Io io{{q9::standard_fds::for_writing(STDOUT_FILENO), true},
                 {q9::standard_fds::for_writing(STDERR_FILENO), true}};
  if (const int err = q9::files::remove_temp_files_on_signals()) {
    io.err << "q9: error: signal handlers: " << std::strerror(err) << '\n';
    io.err.flush();
    return 1;
  }
  int status = q9::cli::run(args, io);
  io.out.flush();
  const int lost = io.out.error();
  // A reader that went away (q9 ... | head) wants no more and hears nothing.
  if (lost != 0 && lost != EPIPE) {
    io.err << "q9: error: standard output: " << std::strerror(lost) << '\n';
  }
  io.err.flush();
  return lost != 0 ? 1 : status;
}
