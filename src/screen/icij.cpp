// The ICIJ Offshore Leaks archive: a zip whose node files (entities, officers,
// intermediaries) are CSV with a header row. Read with minizip over zlib; each member is
// inflated whole into memory, within a bound, since the zip states every member's size.
#include <minizip/unzip.h>

#include <memory>
#include <string>

#include "screen/csv.hpp"
#include "screen/grouped.hpp"
#include "screen/readers.hpp"

namespace q9::screen {
namespace {

// The largest node file, entities, is a few hundred megabytes.
constexpr uint64_t kMaxMember = uint64_t(1) << 30;

struct Zip {
  unzFile z;
  explicit Zip(const std::filesystem::path& path) : z(unzOpen64(path.c_str())) {}
  ~Zip() {
    if (z) unzClose(z);
  }
};

std::string_view base_name(std::string_view name) {
  const size_t slash = name.find_last_of('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// Moves to the member whose base name is `member`; false when there is none.
bool find_member(unzFile z, std::string_view member, unz_file_info64& info) {
  char name[1024];
  for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
    if (unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) {
      return false;
    }
    if (base_name(name) == member) return true;
  }
  return false;
}

constexpr std::string_view kWhat = "the ICIJ Offshore Leaks archive";

}  // namespace

void check_icij(const std::filesystem::path& zip) {
  Zip z(zip);
  if (!z.z) throw ListError("not " + std::string(kWhat) + " (no zip directory)", true);
  for (std::string_view member : ICIJ_MEMBERS) {
    unz_file_info64 info;
    if (!find_member(z.z, member, info)) {
      throw ListError("not " + std::string(kWhat) + " (no " + std::string(member) + ")", true);
    }
  }
}

ReadSummary read_icij_member(const std::filesystem::path& zip, std::string_view member,
                             const EntrySink& sink) {
  Zip z(zip);
  unz_file_info64 info;
  if (!z.z || !find_member(z.z, member, info)) {
    throw ListError("not " + std::string(kWhat) + " (no " + std::string(member) + ")", true);
  }
  const std::string label = "ICIJ " + std::string(member);
  if (info.uncompressed_size > kMaxMember) {
    throw ListError(label + " would inflate to more than 1 GiB");
  }
  if (unzOpenCurrentFile(z.z) != UNZ_OK) throw ListError(label + ": cannot be inflated");
  std::string data(info.uncompressed_size, '\0');
  size_t got = 0;
  for (;;) {
    // One byte of room past the stated size tells a member that inflates to more.
    char spare;
    char* to = got < data.size() ? data.data() + got : &spare;
    const unsigned room = got < data.size()
                              ? static_cast<unsigned>(std::min<size_t>(data.size() - got, 1 << 30))
                              : 1u;
    const int n = unzReadCurrentFile(z.z, to, room);
    if (n < 0) {
      unzCloseCurrentFile(z.z);
      throw ListError(label + ": damaged (inflate error " + std::to_string(n) + ")");
    }
    if (n == 0) break;
    if (got >= data.size()) {
      unzCloseCurrentFile(z.z);
      throw ListError(label + ": inflates to more than its stated size");
    }
    got += static_cast<size_t>(n);
  }
  if (unzCloseCurrentFile(z.z) != UNZ_OK || got != data.size()) {
    throw ListError(label + ": damaged (checksum or size does not match)");
  }

  ReadSummary summary;
  CsvReader rows(data, ',', label);
  std::vector<std::string_view> f;
  if (!rows.next(f) || column(f, {"node_id"}) < 0 || column(f, {"name"}) < 0) {
    throw ListError("not " + std::string(kWhat) + " (" + std::string(member) +
                    " has no header naming node_id and name)", true);
  }
  std::vector<std::string> names(f.begin(), f.end());
  std::vector<std::string_view> h(names.begin(), names.end());
  const int id = column(h, {"node_id"});
  const int name = column(h, {"name"});
  const int original = column(h, {"original_name"});
  const int former = column(h, {"former_name"});
  const int countries = column(h, {"countries"});
  const int jurisdiction = column(h, {"jurisdiction_description"});
  const int source = column(h, {"sourceID"});
  const std::string_view type = member == ICIJ_MEMBERS[0]   ? "entity"
                                : member == ICIJ_MEMBERS[1] ? "officer"
                                                            : "intermediary";
  EntryView e;
  while (rows.next(f)) {
    if (f.size() != h.size()) {
      rows.fail("expected " + std::to_string(h.size()) + " fields, found " + std::to_string(f.size()));
    }
    e.clear();
    e.id = trim(at(f, id));
    e.type = type;
    for (int c : {name, original, former}) {
      const std::string_view v = trim(at(f, c));
      if (!v.empty() && (e.names.empty() || e.names.front() != v)) e.names.push_back(v);
    }
    split_values(at(f, source), ";", e.programs);
    split_values(at(f, countries), ";", e.nationality);
    split_values(at(f, jurisdiction), ";", e.nationality);
    sink(e);
    ++summary.entries;
  }
  return summary;
}

}  // namespace q9::screen
