// One reader per list format. Each proves its bytes are its list (the format's own
// signature), reads every entry into `sink` and throws ListError for anything else: a
// foreign file, a malformed record, a document cut short. None of them allocates per
// entry on the way; the views it hands on are reused.
// Tests: readers_test.cpp; fuzzing: fuzz/screen/readers_fuzz.cpp.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "screen/entry.hpp"

namespace q9::screen {

// Throws a foreign ListError "not <what> (an HTML page)" (or "(gzip data)", "(an empty
// file)", "(binary data)") when `bytes` are plainly something else than a list.
void refuse_foreign(std::string_view bytes, std::string_view what);

// OFAC's SDN.CSV (12 columns, no header row) with ALT.CSV (5 columns) joined by entity
// number; dates of birth and nationalities taken from the remarks.
ReadSummary read_ofac(std::string_view sdn, std::string_view alt, const EntrySink& sink);

// The UN Security Council consolidated list (XML, root CONSOLIDATED_LIST).
ReadSummary read_un(std::string_view xml, const EntrySink& sink);

// The UK Sanctions List (CSV; a "Report Date" line may come before the header row).
ReadSummary read_uk(std::string_view csv, const EntrySink& sink);

// The EU consolidated financial sanctions list (CSV with ";", one row per name, address,
// birth date ... of an entity, the rows of one entity grouped by Entity_LogicalId).
ReadSummary read_eu(std::string_view csv, const EntrySink& sink);

// The ICIJ Offshore Leaks archive: the node files read, each a part of the list.
inline constexpr std::string_view ICIJ_MEMBERS[] = {"nodes-entities.csv", "nodes-officers.csv",
                                                    "nodes-intermediaries.csv"};
// Throws a foreign ListError unless the zip at `zip` holds every file of ICIJ_MEMBERS (its
// central directory read, so a cut archive fails here).
void check_icij(const std::filesystem::path& zip);
// Reads one of ICIJ_MEMBERS from the archive. A member said to inflate beyond 2 GiB, or to
// another size than the archive states, or fails its checksum, is a ListError.
ReadSummary read_icij_member(const std::filesystem::path& zip, std::string_view member,
                             const EntrySink& sink);

// Splits `text` at `separator`, trims spaces, drops empty parts and "-0-"; appends views.
void split_values(std::string_view text, std::string_view separator,
                  std::vector<std::string_view>& out);
// `text` without spaces at either end.
std::string_view trim(std::string_view text);

}  // namespace q9::screen
