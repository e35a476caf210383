// The q9-screen program: a thin main over the command.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/out.hpp"
#include "core/standard_fds.hpp"
#include "process/spawn.hpp"
#include "screen/command.hpp"
#include "screen/parsed.hpp"

#ifndef Q9_SCREEN_FLOORS
#define Q9_SCREEN_FLOORS q9::screen::FLOORS
#endif

int main(int argc, char** argv) {
  // Before any pipe or file is opened: none may take the number of a closed standard stream.
  if (!q9::standard_fds::guard_or_report("q9-screen")) return 3;
  // Ctrl-C reaches a running curl too, which leads a process group of its own.
  q9::process::pass_signals_to_children();
  q9::Out out(q9::standard_fds::for_writing(STDOUT_FILENO), true),
      err(q9::standard_fds::for_writing(STDERR_FILENO), true);
  std::vector<q9::screen::PendingWrite> later;
  const int status = q9::screen::run_command(std::vector<std::string>(argv + 1, argv + argc), out,
                                             err, Q9_SCREEN_FLOORS, &later);
  out.flush();
  const int lost = out.error();
  if (lost != 0 && lost != EPIPE)
    err << "q9-screen: error: standard output: " << std::strerror(lost) << '\n';
  err.flush();
  // The parsed form of a large list (the leaks archive's is over a hundred megabytes) is
  // written by a child once the answer is out, so the caller does not wait for the disk.
  // The child holds none of the caller's pipes; it is a cache: a failure only means the
  // next screen reads the list again. Without a child it is written here.
  const pid_t child = later.empty() ? -1 : ::fork();
  if (child == 0 || (child < 0 && !later.empty())) {
    if (child == 0) {
      ::setsid();
      const int null = ::open("/dev/null", O_RDWR);
      for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
    }
    for (const auto& w : later) {
      try {
        q9::screen::write_parsed(w.path, w.text);
      } catch (const std::exception&) {
      }
    }
    if (child == 0) ::_exit(0);
  }
  // An answer that did not arrive whole clears nothing: the lists count as not screened.
  return lost != 0 ? 3 : status;
}
