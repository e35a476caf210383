// Preloaded into q9-install by install_e2e_test.cpp: after posix_spawn has started a child,
// appends the child's pid to the file named by Q9_SPAWNED_LOG and sends this process the
// signal numbered Q9_SIGNAL_AFTER_SPAWN, in the very moment before the caller learns the
// child's pid.
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>

#include <cstdio>
#include <cstdlib>

extern "C" int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  using Spawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                        const posix_spawnattr_t*, char* const[], char* const[]);
  static const auto next = reinterpret_cast<Spawn>(::dlsym(RTLD_NEXT, "posix_spawn"));
  if (!next) std::abort();
  const int rc = next(pid, path, actions, attr, argv, envp);
  if (rc != 0) return rc;
  if (const char* log = std::getenv("Q9_SPAWNED_LOG")) {
    if (std::FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%d\n", static_cast<int>(*pid));
      std::fclose(f);
    }
  }
  if (const char* sig = std::getenv("Q9_SIGNAL_AFTER_SPAWN")) ::raise(std::atoi(sig));
  return rc;
}
