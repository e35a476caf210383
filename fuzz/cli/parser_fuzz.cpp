// Fuzz target for the q9 argument parser: the input, split at NUL bytes, is an
// argument list. Checks the contract of the outcome: a parsed record prints nothing,
// help prints only to standard output, a usage error only to standard error.
//   parser_fuzz -dict=fuzz/cli/parser.dict
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/parser.hpp"

// The parser alone is under test: the table's handlers are never called here.
namespace q9::cli {
int _cmd_validate(const Args&, Io&) { std::abort(); }
int _cmd_memory(const Args&, Io&) { std::abort(); }
int _cmd_record(const Args&, Io&) { std::abort(); }
int _cmd_report(const Args&, Io&) { std::abort(); }
int _cmd_doctrine(const Args&, Io&) { std::abort(); }
int _cmd_streams(const Args&, Io&) { std::abort(); }
int _cmd_version(const Args&, Io&) { std::abort(); }
}  // namespace q9::cli

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace q9::cli;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> argv;
  size_t start = 0;
  for (size_t i = 0; i <= input.size(); ++i) {
    if (i == input.size() || input[i] == '\0') {
      if (i > start || i < input.size()) argv.push_back(input.substr(start, i - start));
      start = i + 1;
    }
  }
  std::ostringstream out, err;
  Io io{out, err};
  int status = -1;
  auto args = parse_command_line(argv, commands(), io, status);
  if (args) {
    if (status != 0 || !out.str().empty() || !err.str().empty() || !args->func) std::abort();
  } else if (status == 0) {
    if (out.str().rfind("usage: q9", 0) != 0 || !err.str().empty()) std::abort();
  } else if (status == 2) {
    if (!out.str().empty() || err.str().rfind("usage: q9", 0) != 0) std::abort();
  } else {
    std::abort();
  }
  if (auto n = parse_integer(input); n && n->empty()) std::abort();
  return 0;
}
