// libFuzzer target: the list readers on arbitrary bytes, and the name matching on every
// entry they accept. The first byte picks the reader; a reader may only throw ListError.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "screen/match.hpp"
#include "screen/readers.hpp"

namespace {

const std::vector<std::string> NAMES = {"Hans Müller", "Sean O'Brien", "Northwind Trading PCL"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  using namespace q9::screen;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  Screener screener(NAMES);
  std::string keys;
  const EntrySink sink = [&](const EntryView& e) {
    keys.clear();
    entry_keys(e, keys);
    screener.add(e, keys);
  };
  try {
    switch (data[0] % 5) {
      case 0: {
        // SDN.CSV, then ALT.CSV after the first form feed.
        const size_t cut = bytes.find('\f');
        read_ofac(bytes.substr(0, cut), cut == std::string_view::npos ? "" : bytes.substr(cut + 1),
                  sink);
        break;
      }
      case 1:
        read_un(bytes, sink);
        break;
      case 2:
        read_uk(bytes, sink);
        break;
      case 3:
        read_eu(bytes, sink);
        break;
      case 4: {
        char path[] = "/tmp/q9-screen-fuzz-XXXXXX";
        const int fd = ::mkstemp(path);
        if (fd < 0) return 0;
        const bool written =
            ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        ::close(fd);
        try {
          if (written) {
            check_icij(path);
            for (std::string_view m : ICIJ_MEMBERS) read_icij_member(path, m, sink);
          }
        } catch (const ListError&) {
        }
        ::unlink(path);
        break;
      }
    }
  } catch (const ListError&) {
  }
  (void)screener.results();
  return 0;
}
