// Parsing q9-screen's few options by hand: q9's parser is built for subcommands, and this
// grammar is four options and names.
#include "screen/command.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "core/config_dir.hpp"
#include "screen/normalize.hpp"
#include "screen/output.hpp"
#include "screen/screen.hpp"

namespace q9::screen {
namespace {

constexpr const char* USAGE =
    "usage: q9-screen [-h] [--lists LIST,...] [--from DIR] [--max-age HOURS] [--json] NAME "
    "[NAME ...]\n";

constexpr const char* HELP =
    "\n"
    "Screens names against the OFAC SDN, UN, UK and EU sanctions lists and the ICIJ Offshore\n"
    "Leaks archive. A list counts only when its file is proven whole and genuine; any other is\n"
    "\"not screened\", with the reason.\n"
    "\n"
    "positional arguments:\n"
    "  NAME              a name to screen (a person or a company); give each spelling\n"
    "\n"
    "options:\n"
    "  -h, --help        show this help message and exit\n"
    "  --lists LIST,...  lists to screen: ofac-sdn, un, uk, eu, icij (default: all five)\n"
    "  --from DIR        read ofac-sdn.csv, ofac-alt.csv, un.xml, uk.csv, eu.csv and icij.zip\n"
    "                    from DIR; download nothing\n"
    "  --max-age HOURS   reuse a cached copy younger than this (default: 24; icij: 720)\n"
    "  --json            print the outcome as JSON\n"
    "\n"
    "Lists are downloaded with curl into agent/lists/ under the configuration directory;\n"
    "Q9_SCREEN_URL_OFAC_SDN, _OFAC_ALT, _UN, _UK, _EU and _ICIJ override their addresses.\n"
    "Exit status: 0 every list screened and no sanctions hit, 1 a full hit on a sanctions\n"
    "list, 3 a list not screened, 2 a usage error.\n";

struct Usage {
  std::string message;
};

std::optional<Hours> parse_hours(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double h = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(h) || h <= 0 ||
      text.find_first_of("xXnNiI") != std::string::npos) {
    return std::nullopt;
  }
  return Hours(h);
}

Options parse(const std::vector<std::string>& args, bool& json, bool& help) {
  Options o;
  std::vector<bool> chosen(all_lists().size(), false);
  bool lists_given = false, options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_done || a.size() < 2 || a[0] != '-') {
      o.names.push_back(a);
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      help = true;
      return o;
    }
    if (a == "--json") {
      json = true;
      continue;
    }
    const size_t eq = a.find('=');
    const std::string opt = a.substr(0, eq);
    if (opt != "--lists" && opt != "--from" && opt != "--max-age") {
      throw Usage{"unrecognized argument: " + a};
    }
    std::string value;
    if (eq != std::string::npos) {
      value = a.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw Usage{"argument " + opt + ": expected one argument"};
    }
    if (opt == "--lists") {
      lists_given = true;
      size_t start = 0;
      for (;;) {
        const size_t comma = value.find(',', start);
        const std::string name = value.substr(start, comma - start);
        const ListInfo* l = find_list(name);
        if (!l) {
          throw Usage{"argument --lists: unknown list '" + name +
                      "' (choose from ofac-sdn, un, uk, eu, icij)"};
        }
        chosen[static_cast<size_t>(l - all_lists().data())] = true;
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (opt == "--from") {
      if (value.empty()) throw Usage{"argument --from: expected a folder"};
      o.from = value;
    } else {
      o.max_age = parse_hours(value);
      if (!o.max_age) {
        throw Usage{"argument --max-age: expected a number of hours above 0, not '" + value + "'"};
      }
    }
  }
  if (o.names.empty()) throw Usage{"the following arguments are required: NAME"};
  for (const std::string& n : o.names) {
    if (tokens_of(n).empty()) throw Usage{"name '" + n + "' has no letters or digits"};
  }
  for (size_t i = 0; i < all_lists().size(); ++i) {
    if (!lists_given || chosen[i]) o.lists.push_back(&all_lists()[i]);
  }
  return o;
}

}  // namespace

int run_command(const std::vector<std::string>& args, Out& out, Out& err, const Floors& floors,
                std::vector<PendingWrite>* later) {
  bool json = false, help = false;
  Options o;
  try {
    o = parse(args, json, help);
  } catch (const Usage& u) {
    err << USAGE << "q9-screen: error: " << u.message << '\n';
    return 2;
  }
  if (help) {
    out << USAGE << HELP;
    return 0;
  }
  o.floors = floors;
  // Tests shorten the time a download may take; a shorter limit can only leave a list
  // not screened, never make one count.
  if (const char* limit = std::getenv("Q9_SCREEN_TIME_LIMIT")) {
    const long secs = std::atol(limit);
    if (secs > 0 && secs < o.time_limit.count()) o.time_limit = std::chrono::seconds(secs);
  }
  if (!o.from) {
    try {
      o.cache = config_dir() / "agent" / "lists";
    } catch (const std::exception& e) {
      o.cache_error = e.what();
    }
  }
  const std::vector<ListOutcome> outcomes = screen(o, later);
  if (json) {
    write_json(outcomes, o.names, out);
  } else {
    write_text(outcomes, o.names, std::chrono::system_clock::now(), out);
  }
  return exit_status(outcomes);
}

}  // namespace q9::screen
