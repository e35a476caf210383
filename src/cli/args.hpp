// The argument record that the parser fills in and the handlers read.
#pragma once

#include <optional>
#include <string>

#include "core/io.hpp"

namespace q9::cli {

using q9::Io;

struct Args;
using Handler = int (*)(const Args& args, Io& io);

// One record for every subcommand; only the chosen subcommand's fields are filled in,
// the others keep their defaults. An absent value (nullopt) differs from an empty text.
struct Args {
  std::string cmd;         // the subcommand name
  Handler func = nullptr;  // its handler

  // validate
  std::string path;
  bool json = false;
  // memory
  std::string memory_action;  // "recall", "init" or "list"
  // memory (optional) and record (required)
  std::optional<std::string> entity;
  // record
  std::string kind;  // "fact", "negative", "contradiction" or "report"
  std::optional<std::string> section;
  std::string text;
  std::string source;
  std::optional<std::string> date;
  // --version: canonical decimal text of an integer of any size ("1" by default);
  // the record handler decides which values it accepts.
  std::string version = "1";
  // report
  std::string data;
  std::optional<std::string> out;
  // streams
  std::optional<std::string> stream;
};

}  // namespace q9::cli
