// q9 doctrine and q9 streams [NAME]: the research doctrine as JSON in the ASCII form.
#include <string>

#include "cli/commands.hpp"
#include "core/json.hpp"
#include "core/utf8.hpp"
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
    // A name typed on the command line need not be UTF-8: each stray byte reaches the
    // output as \udcXX, and the document stays valid.
    _print(doctrine::brief(utf8::escape_stray_bytes(*args.stream)), io);
  } else {
    _print(doctrine::RESEARCH_STREAMS, io);
  }
  return 0;
}

}  // namespace q9::cli
