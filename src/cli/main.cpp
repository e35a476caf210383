// The q9 program: a thin main over the command module.
#include <malloc.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/commands.hpp"

int main(int argc, char** argv) {
#ifdef M_MMAP_THRESHOLD
  // Buffers of megabytes (a dossier, its data) come from the heap and stay there when
  // freed, so the next one reuses pages already mapped instead of faulting in new ones.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  // Standard error is written at once, as a diagnostic must not wait for output.
  q9::cli::Io io{{STDOUT_FILENO, true}, {STDERR_FILENO, false}};
  int status = q9::cli::run(args, io);
  io.out.flush();
  return status;
}
