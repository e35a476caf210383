// The lists q9-screen knows: names, files, official addresses, floors and default ages.
// Tests: screen_test.cpp.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace q9::screen {

struct ListFile {
  std::string_view file;   // its name in the cache folder and in --from DIR
  std::string_view env;    // the environment variable that overrides its address
  std::string_view url;    // the official address
  std::string_view title;  // how messages name it: "SDN.CSV"
};

enum class ListId { OfacSdn, Un, Uk, Eu, Icij };

struct ListInfo {
  ListId id;
  std::string_view name;  // on the command line and in the output: "ofac-sdn"
  std::vector<ListFile> files;
  bool sanctions;        // a full hit changes the exit status (all but the leaks archive)
  bool self_delimiting;  // the format proves its own end (an XML root, a zip directory)
  std::chrono::hours max_age;
};

// The five lists, in the order they are screened and shown.
const std::vector<ListInfo>& all_lists();
// nullptr for a name that is no list.
const ListInfo* find_list(std::string_view name);

// The least number of entries a genuine copy holds; fewer means a cut or a wrong file.
// OFAC has two floors: SDN.CSV's rows and ALT.CSV's.
struct Floors {
  size_t ofac_sdn, ofac_alt, un, uk, eu, icij;
  size_t of(ListId id) const;
};
// The floors of a real screen. Set well below every genuine copy (see the README).
inline constexpr Floors FLOORS{5000, 3000, 500, 2000, 2000, 300000};

// The address of `file`: its environment variable when set and not empty, else the
// official one.
std::string address_of(const ListFile& file);

}  // namespace q9::screen
