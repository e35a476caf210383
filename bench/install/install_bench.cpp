// Costs of the installer's pieces: starting and reaping a child, collecting a large
// output, writing the twelve configuration files, and one whole --config-only run.
// Usage: install_bench [path/to/q9-install]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "install/install.hpp"
#include "process/spawn.hpp"

namespace {
using Clock = std::chrono::steady_clock;
using q9::process::run;

template <typename F>
void measure(const char* what, int rounds, F&& body) {
  body();  // warm up
  auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) body();
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("%-44s %8.3f ms per run (%d runs)\n", what, ms / rounds, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  namespace fs = std::filesystem;
  measure("run /bin/true", 500, [] { run("/bin/true", {"true"}, 10s); });
  measure("run sh printing 64 MB to stdout", 5, [] {
    run("/bin/sh", {"sh", "-c", "head -c 67108864 /dev/zero"}, 60s);
  });
  measure("find_executable sh (system PATH)", 20000, [] { q9::process::find_executable("sh"); });
  fs::path root = fs::temp_directory_path() / ("q9-install-bench-" + std::to_string(::getpid()));
  measure("write_assets (12 files, atomic)", 200, [&] { q9::install::write_assets(root); });
  if (argc > 1) {
    ::setenv("OPENCODE_CONFIG_DIR", root.c_str(), 1);
    measure("q9-install --config-only (whole program)", 100, [&] {
      run(argv[1], {"q9-install", "--config-only"}, 10s);
    });
  }
  fs::remove_all(root);
  return 0;
}
