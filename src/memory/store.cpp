// The backend-independent half of the memory store: input checks, the texts the record
// operations return and the recalled record.
#include "memory/store.hpp"

#include <iterator>

#include "core/utf8.hpp"
#include "memory/input.hpp"
#include "memory/windows_1252.hpp"

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

void Store::recall(const std::optional<std::string>& entity, json::Writer& out) {
  if (!entity) {
    _ready(false);
    const Counts counts = count();
    out.value(json::Object{{"store", location()},
                           {"entities", static_cast<long long>(counts.entities)},
                           {"records", static_cast<long long>(counts.records)}});
    return;
  }
  const std::string key = entity_key(*entity);
  _ready(false);
  // A store may hold bytes that are not UTF-8 (written by an older q9 or another program):
  // recall stays JSON, reading them as an upgrade would.
  auto field = [&out](std::string_view name, std::string_view text) {
    out.key(name);
    utf8::find_invalid(text) ? out.string(as_utf8(text)) : out.string(text);
  };
  auto head = [&](const Head& h) {
    out.begin_object();
    field("entity", h.name);
    out.key("fact_count");
    out.value(static_cast<long long>(h.facts));
    out.key("last_updated");
    h.latest.empty() ? out.value(json::Value()) : out.string(h.latest);
  };
  // The lists in the order of RecordKind, which is the order they are printed in; records
  // arrive list by list, so each opens the lists up to its own, closing those before.
  constexpr std::string_view LISTS[] = {"facts", "negatives", "contradictions", "reports"};
  constexpr int ALL = static_cast<int>(std::size(LISTS));
  int open = -1;            // the list being written
  std::string section;      // the facts' section being written
  bool in_section = false;  // whether its array is open
  auto open_list = [&](int list) {
    for (; open < list; ++open) {
      if (open >= 0) {
        if (open == 0 && in_section) out.end();
        out.end();
      }
      if (open + 1 == ALL) break;
      out.key(LISTS[open + 1]);
      open + 1 == 0 ? out.begin_object() : out.begin_array();
    }
  };
  const bool found = load(key, head, [&](const RowView& r) {
    open_list(static_cast<int>(*r.kind));
    if (r.kind == RecordKind::Fact && (!in_section || r.subject != section)) {
      if (in_section) out.end();
      out.key(r.subject);
      out.begin_array();
      section = r.subject;
      in_section = true;
    }
    out.begin_object();
    switch (*r.kind) {
      case RecordKind::Fact:
        field("claim", r.body);
        field("source", r.source);
        field("date", r.date);
        field("recorded", r.recorded);
        break;
      case RecordKind::Negative:
        field("note", r.body);
        field("date", r.date);
        break;
      case RecordKind::Contradiction:
        field("topic", r.subject);
        field("text", r.body);
        field("date", r.date);
        break;
      case RecordKind::Report:
        field("path", r.body);
        out.key("version");
        out.value(static_cast<long long>(r.version));
        field("date", r.date);
        break;
    }
    out.end();
  });
  if (!found) head({*entity, 0, ""});
  open_list(ALL);
  out.end();
}

void Store::read(std::string_view entity, const std::function<void(const Record&)>& each) {
  const std::string key = entity_key(entity);
  _ready(false);
  load(
      key, [](const Head&) {},
      [&](const RowView& r) {
        each({*r.kind, r.subject, r.body, r.source, r.date});
      });
}

std::vector<EntitySummary> Store::all_entities() {
  _ready(false);
  return list();
}

}  // namespace q9::memory
