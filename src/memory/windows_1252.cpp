// windows-1252 to UTF-8 for the repair of old stores. Written here: glibc's iconv CP1252
// refuses the five bytes WHATWG maps to C1 controls, and other iconvs differ again.
#include "memory/windows_1252.hpp"

#include "core/utf8.hpp"

namespace q9::memory {
namespace {

// The code points of bytes 0x80 to 0x9F; every other byte is its own code point.
constexpr char16_t HIGH[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string as_utf8(std::string_view text) {
  if (!utf8::find_invalid(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (const unsigned char b : text) utf8::append(out, b >= 0x80 && b <= 0x9F ? HIGH[b - 0x80] : b);
  return out;
}

}  // namespace q9::memory
