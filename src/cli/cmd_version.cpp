// q9 version: the package version.
#include "cli/commands.hpp"
#include "q9/version.hpp"

namespace q9::cli {

int _cmd_version(const Args&, Io& io) {
  io.out << "q9infra " << q9::VERSION << '\n';
  return 0;
}

}  // namespace q9::cli
