// One screen: the lists got (downloaded, from the cache or from a folder), each proven to be
// its list and read whole, and the names matched against every entry.
// Tests: screen_test.cpp, download_test.cpp.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "screen/lists.hpp"
#include "screen/match.hpp"

namespace q9::screen {

using Hours = std::chrono::duration<double, std::ratio<3600>>;

struct Options {
  std::vector<const ListInfo*> lists;  // in the order of all_lists()
  std::vector<std::string> names;
  std::optional<std::filesystem::path> from;  // read the files here, download nothing
  std::optional<Hours> max_age;               // else each list's own
  Floors floors = FLOORS;
  std::chrono::seconds time_limit{600};  // per file downloaded
  std::filesystem::path cache;           // the cache folder (agent/lists)
  std::string cache_error;               // why there is none, when there is none
};

struct FileHash {
  std::string file, sha256;
};

struct ListOutcome {
  const ListInfo* list = nullptr;
  bool screened = false;
  std::string reason;  // why not, in one line
  size_t entries = 0;
  std::string published;
  std::optional<std::chrono::system_clock::time_point> fetched;
  std::vector<FileHash> sha256;
  std::vector<QueryResult> results;  // per name, in the order given
};

// A parsed form left to be written once the outcome is out (write_parsed()).
struct PendingWrite {
  std::filesystem::path path;
  std::string text;
};

// Screens every list of `options`; each ends screened or not screened with its reason.
// Never throws for what a list, a server or the cache folder does. With `later`, parsed
// forms of more than some megabytes are handed back there instead of written, so that the
// caller can write them after it has answered (the leaks archive's is over a hundred MB).
std::vector<ListOutcome> screen(const Options& options, std::vector<PendingWrite>* later = nullptr);

}  // namespace q9::screen
