// The table of lists: one place for the official addresses, so that a list that moves
// needs only its Q9_SCREEN_URL_* variable, or one line here.
#include "screen/lists.hpp"

#include <cstdlib>

namespace q9::screen {

using std::chrono::hours;

const std::vector<ListInfo>& all_lists() {
  static const std::vector<ListInfo> LISTS = {
      {ListId::OfacSdn,
       "ofac-sdn",
       {{"ofac-sdn.csv", "Q9_SCREEN_URL_OFAC_SDN",
         "https://sanctionslistservice.ofac.treas.gov/api/PublicationPreview/exports/SDN.CSV",
         "SDN.CSV"},
        {"ofac-alt.csv", "Q9_SCREEN_URL_OFAC_ALT",
         "https://sanctionslistservice.ofac.treas.gov/api/PublicationPreview/exports/ALT.CSV",
         "ALT.CSV"}},
       true,
       false,
       hours(24)},
      {ListId::Un,
       "un",
       {{"un.xml", "Q9_SCREEN_URL_UN",
         "https://scsanctions.un.org/resources/xml/en/consolidated.xml", "the UN list"}},
       true,
       true,
       hours(24)},
      {ListId::Uk,
       "uk",
       {{"uk.csv", "Q9_SCREEN_URL_UK",
         "https://sanctionslist.fcdo.gov.uk/docs/UK-Sanctions-List.csv", "the UK Sanctions List"}},
       true,
       false,
       hours(24)},
      {ListId::Eu,
       "eu",
       {{"eu.csv", "Q9_SCREEN_URL_EU",
         "https://webgate.ec.europa.eu/fsd/fsf/public/files/csvFullSanctionsList_1_1/"
         "content?token=dG9rZW4tMjAxNw",
         "the EU consolidated list"}},
       true,
       false,
       hours(24)},
      {ListId::Icij,
       "icij",
       {{"icij.zip", "Q9_SCREEN_URL_ICIJ",
         "https://offshoreleaks-data.icij.org/offshoreleaks/csv/full-oldb.LATEST.zip",
         "the ICIJ Offshore Leaks archive"}},
       false,
       true,
       hours(24 * 30)},
  };
  return LISTS;
}

const ListInfo* find_list(std::string_view name) {
  for (const ListInfo& l : all_lists()) {
    if (l.name == name) return &l;
  }
  return nullptr;
}

size_t Floors::of(ListId id) const {
  switch (id) {
    case ListId::OfacSdn:
      return ofac_sdn;
    case ListId::Un:
      return un;
    case ListId::Uk:
      return uk;
    case ListId::Eu:
      return eu;
    case ListId::Icij:
      return icij;
  }
  return 0;
}

std::string address_of(const ListFile& file) {
  const char* set = std::getenv(std::string(file.env).c_str());
  return set && *set ? std::string(set) : std::string(file.url);
}

}  // namespace q9::screen
