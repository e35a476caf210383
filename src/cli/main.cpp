// The q9 program: a thin main over the command module.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.hpp"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  q9::cli::Io io{std::cout, std::cerr};
  int status = q9::cli::run(args, io);
  std::cout.flush();
  return status;
}
