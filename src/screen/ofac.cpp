// OFAC's SDN.CSV and ALT.CSV. Rows are quoted fields without a header row; "-0-" stands for
// an empty field; a person's date of birth and nationality are inside the remarks
// ("DOB 07 Oct 1954; nationality Iran; ...").
#include <string>
#include <unordered_map>

#include "screen/csv.hpp"
#include "screen/readers.hpp"

namespace q9::screen {
namespace {

bool is_number(std::string_view s) {
  if (s.empty() || s.size() > 12) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string_view field(std::string_view f) {
  f = trim(f);
  return f == "-0-" ? std::string_view() : f;
}

// The remarks' "DOB ..." and "nationality ..." items (with their "alt." forms).
void remarks(std::string_view text, EntryView& e) {
  thread_local std::vector<std::string_view> items;
  items.clear();
  split_values(text, ";", items);
  for (std::string_view item : items) {
    if (item.starts_with("alt. ")) item.remove_prefix(5);
    if (item.starts_with("DOB ")) {
      e.dob.push_back(trim(item.substr(4)));
    } else if (item.starts_with("nationality ") || item.starts_with("Nationality ")) {
      e.nationality.push_back(trim(item.substr(12)));
    }
  }
  // A trailing full stop belongs to the remarks, not to the value.
  for (auto* list : {&e.dob, &e.nationality}) {
    for (auto& v : *list) {
      if (v.ends_with('.')) v.remove_suffix(1);
    }
  }
}

}  // namespace

ReadSummary read_ofac(std::string_view sdn, std::string_view alt, const EntrySink& sink) {
  refuse_foreign(sdn, "OFAC's SDN.CSV");
  refuse_foreign(alt, "OFAC's ALT.CSV");
  ReadSummary summary;
  std::vector<std::string_view> f;

  // Aliases first, so that SDN.CSV is read in one pass.
  // ALT.CSV is small: its names are copied, as a field with doubled quotes lives only
  // until the next record.
  std::unordered_map<std::string, std::vector<std::string>> aliases;
  CsvReader alt_rows(alt, ',', "ALT.CSV");
  while (alt_rows.next(f)) {
    if (f.size() != 5 || !is_number(trim(f[0]))) {
      if (alt_rows.record() == 1) throw ListError("not OFAC's ALT.CSV (no 5-column rows)", true);
      alt_rows.fail("expected 5 fields beginning with an entity number");
    }
    const std::string_view name = field(f[3]);
    if (!name.empty()) aliases[std::string(trim(f[0]))].emplace_back(name);
    ++summary.aliases;
  }
  std::string key;

  CsvReader rows(sdn, ',', "SDN.CSV");
  EntryView e;
  while (rows.next(f)) {
    if (f.size() != 12 || !is_number(trim(f[0]))) {
      if (rows.record() == 1) throw ListError("not OFAC's SDN.CSV (no 12-column rows)", true);
      rows.fail("expected 12 fields beginning with an entity number");
    }
    e.clear();
    e.id = trim(f[0]);
    if (!field(f[1]).empty()) e.names.push_back(field(f[1]));
    const std::string_view type = field(f[2]);
    e.type = type.empty() ? std::string_view("entity") : type;
    split_values(field(f[3]), "] [", e.programs);
    for (auto& p : e.programs) {
      if (p.starts_with('[')) p.remove_prefix(1);
      if (p.ends_with(']')) p.remove_suffix(1);
    }
    remarks(field(f[11]), e);
    key.assign(e.id);
    if (auto it = aliases.find(key); it != aliases.end()) {
      for (const std::string& a : it->second) e.names.push_back(a);
    }
    sink(e);
    ++summary.entries;
  }
  return summary;
}

}  // namespace q9::screen
