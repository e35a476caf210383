// Paired wall times of two whole-process commands, run alternately (A B A B ...) so that
// both see the same machine: prints the median of each in milliseconds, their ratio, and
// the median page faults of each (a count that other load on the machine leaves alone).
// A side may be several commands run one after another (CMD --then CMD ...); "{n}" in an
// argument becomes the run's number, for commands that must not repeat themselves.
//   pair_bench RUNS CMD_A... --vs CMD_B...
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Command = std::vector<std::string>;
using Side = std::vector<Command>;

// Splits argv[first, last) into commands at each "--then".
Side _side(char** first, char** last) {
  Side side(1);
  for (char** a = first; a != last; ++a) {
    if (std::strcmp(*a, "--then") == 0) {
      side.emplace_back();
    } else {
      side.back().emplace_back(*a);
    }
  }
  return side;
}

// Runs every command of the side once; returns the wall time in ms, or -1 on a failure,
// and adds the page faults the commands took to `faults`.
double _run(const Side& side, const posix_spawn_file_actions_t* io, int n, double& faults) {
  // The argument vectors are made before the clock starts.
  std::vector<std::vector<std::string>> args;
  std::vector<std::vector<char*>> argvs;
  for (const Command& c : side) {
    auto& a = args.emplace_back(c);
    auto& v = argvs.emplace_back();
    for (std::string& s : a) {
      for (size_t at; (at = s.find("{n}")) != std::string::npos;) s.replace(at, 3, std::to_string(n));
      v.push_back(s.data());
    }
    v.push_back(nullptr);
  }
  const auto start = std::chrono::steady_clock::now();
  for (const auto& v : argvs) {
    pid_t pid;
    if (posix_spawnp(&pid, v[0], io, nullptr, v.data(), environ) != 0) {
      std::perror(v[0]);
      return -1;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "pair_bench: %s did not exit with status 0\n", v[0]);
      return -1;
    }
    faults += static_cast<double>(usage.ru_minflt + usage.ru_majflt);
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double _median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  char** vs = std::find_if(argv, argv + argc, [](char* a) { return std::strcmp(a, "--vs") == 0; });
  const int runs = argc > 1 ? std::atoi(argv[1]) : 0;
  if (runs <= 0 || vs == argv + argc || vs == argv + 2 || vs + 1 == argv + argc) {
    std::fprintf(stderr, "usage: pair_bench RUNS CMD_A... --vs CMD_B...\n");
    return 2;
  }
  const Side a = _side(argv + 2, vs), b = _side(vs + 1, argv + argc);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
  // One unmeasured round warms the page cache for both.
  double fa = 0, fb = 0;
  if (_run(a, &io, 0, fa) < 0 || _run(b, &io, 0, fb) < 0) return 1;
  std::vector<double> ta, tb, pa, pb;
  for (int i = 0; i < runs; ++i) {
    fa = fb = 0;
    const double x = _run(a, &io, i + 1, fa), y = _run(b, &io, i + 1, fb);
    if (x < 0 || y < 0) return 1;
    ta.push_back(x);
    tb.push_back(y);
    pa.push_back(fa);
    pb.push_back(fb);
  }
  posix_spawn_file_actions_destroy(&io);
  const double ma = _median(ta), mb = _median(tb);
  std::printf("%.2f %.2f %.2f %.0f %.0f\n", ma, mb, ma / mb, _median(pa), _median(pb));
  return 0;
}
