// The ICIJ Offshore Leaks archive: a zip whose node files (entities, officers,
// intermediaries) are CSV with a header row. Read with minizip over zlib, each member
// inflated as its records are read.
#include <minizip/unzip.h>

#include <memory>
#include <string>

#include "screen/csv.hpp"
#include "screen/grouped.hpp"
#include "screen/readers.hpp"

namespace q9::screen {
namespace {

// The largest node file, entities, is a few hundred megabytes; a member said to be far
// larger is refused before hours go into it.
constexpr uint64_t kMaxMember = uint64_t(2) << 30;

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
    throw ListError(label + " would inflate to more than 2 GiB");
  }
  if (unzOpenCurrentFile(z.z) != UNZ_OK) throw ListError(label + ": cannot be inflated");
  // Inflated a few megabytes at a time as the records are read; minizip stops at the size
  // the archive states, and its checksum at the close tells a member that says less.
  uint64_t got = 0;
  auto fill = [&](char* to, size_t room) -> size_t {
    const int n =
        unzReadCurrentFile(z.z, to, static_cast<unsigned>(std::min<size_t>(room, 1 << 30)));
    if (n < 0) throw ListError(label + ": damaged (inflate error " + std::to_string(n) + ")");
    got += static_cast<uint64_t>(n);
    return static_cast<size_t>(n);
  };
  struct CloseMember {
    unzFile z;
    bool open = true;
    ~CloseMember() {
      if (open) unzCloseCurrentFile(z);
    }
  } member_open{z.z};

  ReadSummary summary;
  CsvReader rows(fill, ',', label);
  std::vector<std::string_view> f;
  if (!rows.next(f) || column(f, {"node_id"}) < 0 || column(f, {"name"}) < 0) {
    throw ListError("not " + std::string(kWhat) + " (" + std::string(member) +
                        " has no header naming node_id and name)",
                    true);
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
      rows.fail("expected " + std::to_string(h.size()) + " fields, found " +
                std::to_string(f.size()));
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
  member_open.open = false;
  if (unzCloseCurrentFile(z.z) != UNZ_OK || got != info.uncompressed_size) {
    throw ListError(label + ": damaged (checksum or size does not match)");
  }
  return summary;
}

}  // namespace q9::screen
