// The UK Sanctions List as CSV: an optional line with the report's date, a header row, then
// one row per name of a designated person, entity or ship, grouped by its unique id. The
// columns are found by their header names, under the names the FCDO's list and the older
// OFSI list used (Unique ID / Group ID, Name 1..Name 6, Regime Name / Regime, ...).
#include "screen/csv.hpp"
#include "screen/grouped.hpp"
#include "screen/readers.hpp"

namespace q9::screen {

ReadSummary read_uk(std::string_view csv, const EntrySink& sink) {
  refuse_foreign(csv, "the UK Sanctions List");
  ReadSummary summary;
  CsvReader rows(csv, ',', "the UK Sanctions List");
  std::vector<std::string_view> f, header;
  int id = -1, surname = -1;
  // The header is one of the first three records; what comes before it dates the report.
  while (rows.record() < 3 && rows.next(f)) {
    id = column(f, {"Unique ID", "Group ID", "OFSI Group ID"});
    surname = column(f, {"Name 6"});
    if (id >= 0 && surname >= 0) {
      header = f;
      break;
    }
    for (size_t i = 0; i < f.size(); ++i) {
      std::string_view v = trim(f[i]);
      if (v.starts_with("Report Date:")) summary.published = trim(v.substr(12));
      if ((v == "Report Date" || v == "Last Updated") && i + 1 < f.size())
        summary.published = trim(f[i + 1]);
    }
  }
  if (header.empty())
    throw ListError("not the UK Sanctions List (no header row naming Unique ID and Name 6)", true);
  // The header's views point into the file unless quoted with doubled quotes: keep copies.
  std::vector<std::string> names(header.begin(), header.end());
  std::vector<std::string_view> h(names.begin(), names.end());
  const int given[] = {column(h, {"Name 1"}), column(h, {"Name 2"}), column(h, {"Name 3"}),
                       column(h, {"Name 4"}), column(h, {"Name 5"})};
  const int script = column(h, {"Name non-latin script", "Name Non-Latin Script"});
  const int type = column(
      h, {"Designation Type", "Group Type", "Entity Type", "Type", "Individual, Entity, Ship"});
  const int regime = column(h, {"Regime Name", "Regime"});
  const int listed = column(h, {"Date Designated", "Listed On", "Date designated"});
  const int dob = column(h, {"D.O.B", "DOB", "Date of Birth"});
  const int nationality = column(h, {"Nationality(/ies)", "Nationality", "Nationalities"});

  Grouped groups;
  std::string whole;
  std::vector<std::string_view> parts;
  while (rows.next(f)) {
    if (f.size() != h.size()) {
      rows.fail("expected " + std::to_string(h.size()) + " fields, found " +
                std::to_string(f.size()));
    }
    const std::string_view key = trim(at(f, id));
    if (key.empty()) rows.fail("no id");
    Entry& e = groups.get(key);
    whole.clear();
    for (int g : given) {
      const std::string_view part = trim(at(f, g));
      if (part.empty()) continue;
      whole.append(part).push_back(' ');
    }
    whole.append(trim(at(f, surname)));
    Grouped::add(e.names, trim(whole));
    Grouped::add(e.names, trim(at(f, script)));
    if (e.type.empty()) e.type = trim(at(f, type));
    if (e.listed_on.empty()) e.listed_on = trim(at(f, listed));
    Grouped::add(e.programs, trim(at(f, regime)));
    parts.clear();
    split_values(at(f, dob), "|", parts);
    for (auto p : parts) Grouped::add(e.dob, p);
    parts.clear();
    split_values(at(f, nationality), "|", parts);
    for (auto p : parts) Grouped::add(e.nationality, p);
  }
  summary.entries = groups.emit(sink);
  return summary;
}

}  // namespace q9::screen
