// The backend-independent half of the memory store: input checks, the texts the record
// operations return and the recalled record.
#include "memory/store.hpp"

#include <algorithm>

#include "memory/input.hpp"

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
  const std::time_t now = clock_();
  if (row.date.empty()) row.date = local_date(now);
  row.recorded = utc_time(now);
  _ready(true);
  const Added added = insert(key, std::string(entity), row);
  std::string what = std::string(word(*row.kind)) + " for " + added.name;
  if (!row.subject.empty()) what += " [" + row.subject + "]";
  if (row.kind == RecordKind::Report) what += " v" + std::to_string(row.version);
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
  return _add(entity, {.kind = RecordKind::Fact,
                       .subject = std::string(section),
                       .body = std::string(claim),
                       .source = std::string(source),
                       .date = fact_date.value_or("")});
}

std::string Store::record_negative(std::string_view entity, std::string_view note) {
  entity_key(entity);
  check_text("note", note);
  return _add(entity, {.kind = RecordKind::Negative, .body = std::string(note)});
}

std::string Store::record_contradiction(std::string_view entity, std::string_view topic,
                                        std::string_view text) {
  entity_key(entity);
  check_text("topic", topic);
  check_text("text", text);
  return _add(entity, {.kind = RecordKind::Contradiction,
                       .subject = std::string(topic),
                       .body = std::string(text)});
}

std::string Store::record_report(std::string_view entity, std::string_view path, int64_t version) {
  entity_key(entity);
  if (version < 1)
    throw MemoryError("report version must be 1 or more, not " + std::to_string(version));
  check_text("report path", path);
  return _add(entity,
              {.kind = RecordKind::Report, .body = absolute_report_path(path), .version = version});
}

json::Value Store::recall(const std::optional<std::string>& entity) {
  if (!entity) {
    _ready(false);
    const Counts counts = count();
    return json::Object{{"store", location()},
                        {"entities", static_cast<long long>(counts.entities)},
                        {"records", static_cast<long long>(counts.records)}};
  }
  const std::string key = entity_key(*entity);
  _ready(false);
  json::Object facts;
  json::Array negatives, contradictions;
  std::vector<std::pair<int64_t, json::Value>> reports;  // (version, record)
  long long fact_count = 0;
  std::string latest;
  // A record of a kind this q9 does not know counts only for the latest date.
  const std::optional<std::string> name = load(key, [&](Row& r) {
    if (r.date > latest) latest = r.date;
    if (r.kind == RecordKind::Fact) {
      ++fact_count;
      json::Object f{{"claim", std::move(r.body)},
                     {"source", std::move(r.source)},
                     {"date", std::move(r.date)},
                     {"recorded", std::move(r.recorded)}};
      if (json::Value* list = facts.find(r.subject))
        list->as_array().push_back(std::move(f));
      else
        facts.set(r.subject, json::Array{std::move(f)});
    } else if (r.kind == RecordKind::Negative) {
      negatives.push_back(json::Object{{"note", std::move(r.body)}, {"date", std::move(r.date)}});
    } else if (r.kind == RecordKind::Contradiction) {
      contradictions.push_back(json::Object{{"topic", std::move(r.subject)},
                                            {"text", std::move(r.body)},
                                            {"date", std::move(r.date)}});
    } else if (r.kind == RecordKind::Report) {
      reports.emplace_back(r.version, json::Object{{"path", std::move(r.body)},
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

std::vector<EntitySummary> Store::all_entities() {
  _ready(false);
  return list();
}

}  // namespace q9::memory
