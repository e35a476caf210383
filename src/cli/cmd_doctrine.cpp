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

// A name typed on the command line need not be UTF-8. Each byte that is not becomes
// the code point U+DC00 + byte, kept in the three-byte form the writer escapes as
// \udcXX: the name still reaches the output unchanged, and the document stays valid.
std::string _escape_stray_bytes(std::string_view name) {
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    const size_t good = utf8::find_invalid(name.substr(i)).value_or(name.size() - i);
    out += name.substr(i, good);
    i += good;
    if (i < name.size()) {
      const char32_t cp = 0xdc00 + static_cast<unsigned char>(name[i++]);
      out += static_cast<char>(0xe0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (cp & 0x3f));
    }
  }
  return out;
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
    _print(doctrine::brief(_escape_stray_bytes(*args.stream)), io);
  } else {
    _print(doctrine::RESEARCH_STREAMS, io);
  }
  return 0;
}

}  // namespace q9::cli
