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

#ifndef Q9_LIBPQ_LINK
// The file name dlopen() is given, and how to install it.
#ifdef __APPLE__
constexpr const char* LIBPQ_NAME = "libpq.5.dylib";
constexpr const char* LIBPQ_PACKAGE = "Homebrew: brew install libpq";
#else
constexpr const char* LIBPQ_NAME = "libpq.so.5";
constexpr const char* LIBPQ_PACKAGE = "Debian: apt-get install libpq5";
#endif
#endif

Api _load() {
  Api a{};
#ifdef Q9_LIBPQ_LINK
#define Q9_LIBPQ_BIND(result, name, params) a.name = &::name;
#else
  void* lib = dlopen(LIBPQ_NAME, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    throw MemoryError(std::string("the PostgreSQL store needs the client library ") + LIBPQ_NAME +
                      ", which is not installed (" + LIBPQ_PACKAGE + ")");
  }
  // Never closed: the process is short and libpq keeps global state.
#define Q9_LIBPQ_BIND(result, name, params)                                        \
  a.name = reinterpret_cast<decltype(a.name)>(dlsym(lib, #name));                  \
  if (!a.name) {                                                                   \
    throw MemoryError(std::string("the PostgreSQL client library ") + LIBPQ_NAME + \
                      " lacks " #name " (" + LIBPQ_PACKAGE + ")");                 \
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
