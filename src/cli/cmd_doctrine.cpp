// q9 doctrine and q9 streams [NAME]: the research doctrine as JSON in the ASCII form.
#include <ostream>

#include "cli/commands.hpp"
#include "core/json.hpp"
#include "doctrine/doctrine.hpp"

namespace q9::cli {
namespace {

void _print(const json::Value& value, Io& io) {
  io.out << json::write(value, json::Encoding::Ascii) << '\n';
}

}  // namespace

int _cmd_doctrine(const Args&, Io& io) {
  _print(json::Object{{"tiers", doctrine::SOURCE_TIERS},
                      {"quality_bar", doctrine::QUALITY_BAR},
                      {"section_order", doctrine::SECTION_ORDER},
                      {"sources", doctrine::SOURCES}},
         io);
  return 0;
}

int _cmd_streams(const Args& args, Io& io) {
  if (args.stream && !args.stream->empty()) {
    _print(doctrine::brief(*args.stream), io);
  } else {
    _print(doctrine::RESEARCH_STREAMS, io);
  }
  return 0;
}

}  // namespace q9::cli
