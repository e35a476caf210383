// The EU consolidated financial sanctions list as CSV (the "1.1" file): fields separated by
// ";", a header row, then one row per name alias, address, birth date, citizenship ... of an
// entity, all rows of one entity carrying its Entity_LogicalId.
#include "screen/csv.hpp"
#include "screen/grouped.hpp"
#include "screen/readers.hpp"

namespace q9::screen {

ReadSummary read_eu(std::string_view csv, const EntrySink& sink) {
  refuse_foreign(csv, "the EU consolidated list");
  ReadSummary summary;
  CsvReader rows(csv, ';', "the EU consolidated list");
  std::vector<std::string_view> f;
  if (!rows.next(f) || column(f, {"Entity_LogicalId"}) < 0 ||
      column(f, {"NameAlias_WholeName"}) < 0) {
    throw ListError(
        "not the EU consolidated list (no header row naming Entity_LogicalId and "
        "NameAlias_WholeName)",
        true);
  }
  std::vector<std::string> names(f.begin(), f.end());
  std::vector<std::string_view> h(names.begin(), names.end());
  const int logical = column(h, {"Entity_LogicalId"});
  const int whole = column(h, {"NameAlias_WholeName"});
  const int reference = column(h, {"Entity_EU_ReferenceNumber"});
  const int generated = column(h, {"fileGenerationDate"});
  const int type = column(h, {"Entity_SubjectType", "Entity_SubjectType_ClassificationCode"});
  const int programme = column(h, {"Entity_Regulation_Programme"});
  const int listed = column(h, {"Entity_Regulation_PublicationDate", "Entity_DesignationDate"});
  const int birth = column(h, {"BirthDate_BirthDate"});
  const int citizen = column(h, {"Citizenship_CountryDescription"});

  Grouped groups;
  while (rows.next(f)) {
    if (f.size() != h.size()) {
      rows.fail("expected " + std::to_string(h.size()) + " fields, found " +
                std::to_string(f.size()));
    }
    const std::string_view key = trim(at(f, logical));
    if (key.empty()) rows.fail("no Entity_LogicalId");
    if (summary.published.empty()) summary.published = trim(at(f, generated));
    Entry& e = groups.get(key);
    if (const auto ref = trim(at(f, reference)); !ref.empty() && e.type.empty()) e.id = ref;
    if (e.type.empty()) e.type = trim(at(f, type));
    if (e.listed_on.empty()) e.listed_on = trim(at(f, listed));
    Grouped::add(e.names, trim(at(f, whole)));
    Grouped::add(e.programs, trim(at(f, programme)));
    Grouped::add(e.dob, trim(at(f, birth)));
    Grouped::add(e.nationality, trim(at(f, citizen)));
  }
  summary.entries = groups.emit(sink);
  return summary;
}

}  // namespace q9::screen
