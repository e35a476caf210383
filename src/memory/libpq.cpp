// Loads libpq with dlopen: linking it would pull some twenty shared libraries into every q9
// start and stop q9 from starting where libpq is absent; Debian's libpq.a cannot be linked
// statically.
#include "memory/libpq.hpp"

#include <string>

#include "memory/error.hpp"

#ifdef Q9_LIBPQ_LINK
extern "C" {
#define Q9_LIBPQ_DECLARE(result, name, params) result name params;
Q9_LIBPQ_FUNCTIONS(Q9_LIBPQ_DECLARE)
#undef Q9_LIBPQ_DECLARE
}
#else
#include <dlfcn.h>
#endif

namespace q9::memory::pq {
namespace {

Api _load() {
  Api a{};
#ifdef Q9_LIBPQ_LINK
#define Q9_LIBPQ_BIND(result, name, params) a.name = &::name;
#else
  void* lib = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    throw MemoryError(
        "the PostgreSQL store needs the client library libpq.so.5, which is not installed "
        "(Debian: apt-get install libpq5)");
  }
  // Never closed: the process is short and libpq keeps global state.
#define Q9_LIBPQ_BIND(result, name, params)                                   \
  a.name = reinterpret_cast<decltype(a.name)>(dlsym(lib, #name));             \
  if (!a.name) {                                                              \
    throw MemoryError("the PostgreSQL client library libpq.so.5 lacks " #name \
                      " (Debian: apt-get install libpq5)");                   \
  }
#endif
  Q9_LIBPQ_FUNCTIONS(Q9_LIBPQ_BIND)
#undef Q9_LIBPQ_BIND
  return a;
}

}  // namespace

const Api& api() {
  static const Api a = _load();
  return a;
}

}  // namespace q9::memory::pq
