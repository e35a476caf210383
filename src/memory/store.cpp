// The backend-independent half of the memory store: input checks, the texts the record
// operations return, the recalled record, and the choice of backend.
#include "memory/store.hpp"

#include <algorithm>
#include <cstdlib>

#include "core/config_dir.hpp"
#include "memory/pg_store.hpp"
#include "memory/sqlite_store.hpp"

namespace q9::memory {

void Store::_ready(bool write) {
  if (!opened_) open(write);
  opened_ = true;
}

std::string Store::init() {
  _ready(true);
  return location();
}

std::string Store::_add(std::string_view entity, Row row) {
  const std::string key = entity_key(entity);
  row.recorded = utc_now();
  _ready(true);
  const Added added = insert(key, std::string(entity), row);
  std::string what = row.kind + " for " + added.name;
  if (!row.section.empty()) what += " [" + row.section + "]";
  if (row.kind == "report") what += " v" + std::to_string(row.version);
  what += " (" + row.date + ")";
  return added.stored ? what : "already recorded: " + what;
}

std::string Store::record_fact(std::string_view entity, std::string_view section,
                               std::string_view claim, std::string_view source,
                               const std::optional<std::string>& fact_date) {
  entity_key(entity);
  if (fact_date && !is_calendar_date(*fact_date)) {
    throw MemoryError("fact date '" + *fact_date +
                      "' is not a calendar date in the form YYYY-MM-DD");
  }
  check_text("section", section);
  check_text("claim", claim);
  check_text("source", source);
  return _add(entity, {.kind = "fact",
                       .section = std::string(section),
                       .text = std::string(claim),
                       .source = std::string(source),
                       .date = fact_date ? *fact_date : today()});
}

std::string Store::record_negative(std::string_view entity, std::string_view note) {
  entity_key(entity);
  check_text("note", note);
  return _add(entity, {.kind = "negative", .text = std::string(note), .date = today()});
}

std::string Store::record_contradiction(std::string_view entity, std::string_view topic,
                                        std::string_view text) {
  entity_key(entity);
  check_text("topic", topic);
  check_text("text", text);
  return _add(entity, {.kind = "contradiction",
                       .section = std::string(topic),
                       .text = std::string(text),
                       .date = today()});
}

std::string Store::record_report(std::string_view entity, std::string_view path, int64_t version) {
  entity_key(entity);
  if (version < 1)
    throw MemoryError("report version must be 1 or more, not " + std::to_string(version));
  check_text("report path", path);
  return _add(
      entity,
      {.kind = "report", .text = absolute_report_path(path), .date = today(), .version = version});
}

json::Value Store::recall(const std::optional<std::string>& entity) {
  if (!entity) {
    _ready(false);
    const auto [entities, records] = count();
    return json::Object{{"store", location()},
                        {"entities", static_cast<long long>(entities)},
                        {"records", static_cast<long long>(records)}};
  }
  const std::string key = entity_key(*entity);
  _ready(false);
  json::Object facts;
  json::Array negatives, contradictions;
  std::vector<std::pair<int64_t, json::Value>> reports;  // (version, record)
  long long fact_count = 0;
  std::string latest;
  const std::optional<std::string> name = load(key, [&](Row& r) {
    if (r.date > latest) latest = r.date;
    if (r.kind == "fact") {
      ++fact_count;
      json::Object f{{"claim", std::move(r.text)},
                     {"source", std::move(r.source)},
                     {"date", std::move(r.date)},
                     {"recorded", std::move(r.recorded)}};
      if (json::Value* list = facts.find(r.section))
        list->as_array().push_back(std::move(f));
      else
        facts.set(r.section, json::Array{std::move(f)});
    } else if (r.kind == "negative") {
      negatives.push_back(json::Object{{"note", std::move(r.text)}, {"date", std::move(r.date)}});
    } else if (r.kind == "contradiction") {
      contradictions.push_back(json::Object{{"topic", std::move(r.section)},
                                            {"text", std::move(r.text)},
                                            {"date", std::move(r.date)}});
    } else if (r.kind == "report") {
      reports.emplace_back(r.version, json::Object{{"path", std::move(r.text)},
                                                   {"version", static_cast<long long>(r.version)},
                                                   {"date", std::move(r.date)}});
    }
  });
  // Reports by version, newest last; one version recorded twice keeps its recording order.
  std::stable_sort(reports.begin(), reports.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  json::Array report_list;
  for (auto& r : reports) report_list.push_back(std::move(r.second));
  return json::Object{{"entity", name ? *name : *entity},
                      {"fact_count", fact_count},
                      {"last_updated", latest.empty() ? json::Value() : json::Value(latest)},
                      {"facts", std::move(facts)},
                      {"negatives", std::move(negatives)},
                      {"contradictions", std::move(contradictions)},
                      {"reports", std::move(report_list)}};
}

std::vector<EntityItem> Store::all_entities() {
  std::vector<EntityItem> out;
  for (EntitySummary& e : summaries()) out.push_back({std::move(e.name)});
  return out;
}

std::vector<EntitySummary> Store::summaries() {
  _ready(false);
  return list();
}

std::unique_ptr<Store> open_store() {
  const char* url = std::getenv("Q9_MEMORY_URL");
  const std::string_view u = url ? url : "";
  if (u.empty()) return std::make_unique<SqliteStore>(config_dir() / "agent" / "memory");
  if (u.starts_with("postgresql://") || u.starts_with("postgres://")) {
    return std::make_unique<PgStore>(std::string(u));
  }
  throw MemoryError(
      "Q9_MEMORY_URL must be empty (the SQLite store) or a postgresql:// or postgres:// URI");
}

}  // namespace q9::memory
