// Wall time of whole processes: starts the given command RUNS times (output to
// /dev/null) and prints min, median and max in milliseconds.
//   startup_bench RUNS PROGRAM [ARG...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: startup_bench RUNS PROGRAM [ARG...]\n");
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  if (runs <= 0) {
    std::fprintf(stderr, "startup_bench: RUNS must be a positive number\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, argv[2], &actions, nullptr, argv + 2, environ) != 0) {
      std::perror(argv[2]);
      return 1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "startup_bench: %s did not exit with status 0\n", argv[2]);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  posix_spawn_file_actions_destroy(&actions);
  std::sort(ms.begin(), ms.end());
  std::printf("%d runs: min %.3f ms, median %.3f ms, max %.3f ms\n", runs, ms.front(),
              ms[ms.size() / 2], ms.back());
  return 0;
}
