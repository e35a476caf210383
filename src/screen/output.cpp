// The text and JSON forms of a screen's outcome.
#include "screen/output.hpp"

#include <ctime>

#include "core/json.hpp"
#include "core/utf8.hpp"

namespace q9::screen {
namespace {

// List data need not be UTF-8: a stray byte is shown as U+FFFD, and control characters as
// spaces, so that nothing reaches a terminal raw and the JSON stays valid.
std::string shown(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const char32_t cp = utf8::decode(s, i);
    if (cp >= 0xDC80 && cp <= 0xDCFF && i == start + 1) {
      out += "\xEF\xBF\xBD";
    } else if (cp < 0x20 || cp == 0x7F) {
      out += ' ';
    } else {
      out.append(s, start, i - start);
    }
  }
  return out;
}

std::string utc(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string age(std::chrono::system_clock::time_point now,
                std::chrono::system_clock::time_point t) {
  const long minutes =
      std::max<long>(0, std::chrono::duration_cast<std::chrono::minutes>(now - t).count());
  if (minutes < 120) return std::to_string(minutes) + " min old";
  if (minutes < 48 * 60) return std::to_string(minutes / 60) + " h old";
  return std::to_string(minutes / (24 * 60)) + " days old";
}

std::string joined(const std::vector<std::string>& values, const char* sep) {
  std::string out;
  for (const auto& v : values) out += (out.empty() ? "" : sep) + shown(v);
  return out.empty() ? "-" : out;
}

json::Value strings(const std::vector<std::string>& values) {
  json::Array a;
  for (const auto& v : values) a.emplace_back(shown(v));
  return a;
}

json::Value hit_json(const ListOutcome& o, const Entry& e, const std::string& query, bool full) {
  return json::Object{{"list", std::string(o.list->name)},
                      {"id", shown(e.id)},
                      {"names", strings(e.names)},
                      {"type", shown(e.type)},
                      {"programs", strings(e.programs)},
                      {"dob", strings(e.dob)},
                      {"nationality", strings(e.nationality)},
                      {"listed_on", shown(e.listed_on)},
                      {"query", shown(query)},
                      {"match", full ? "full" : "partial"}};
}

}  // namespace

int exit_status(const std::vector<ListOutcome>& outcomes) {
  bool unscreened = false;
  for (const ListOutcome& o : outcomes) {
    if (!o.screened) unscreened = true;
    if (o.list->sanctions) {
      for (const QueryResult& r : o.results) {
        if (r.full_total > 0) return 1;
      }
    }
  }
  return unscreened ? 3 : 0;
}

void write_text(const std::vector<ListOutcome>& outcomes, const std::vector<std::string>& names,
                std::chrono::system_clock::time_point now, Out& out) {
  for (const ListOutcome& o : outcomes) {
    out << o.list->name << ": ";
    if (!o.screened) {
      out << "not screened: " << shown(o.reason) << '\n';
      continue;
    }
    out << "screened, " << o.entries << " entries, published "
        << (o.published.empty() ? std::string("-") : shown(o.published)) << ", fetched "
        << utc(*o.fetched) << " (" << age(now, *o.fetched) << ")\n";
    for (const FileHash& h : o.sha256) out << "  sha256 " << h.file << " " << h.sha256 << '\n';
  }
  bool any = false;
  for (const ListOutcome& o : outcomes) {
    for (size_t q = 0; q < o.results.size(); ++q) {
      const QueryResult& r = o.results[q];
      auto entry = [&](const Entry& e, const char* kind) {
        any = true;
        out << kind << ' ' << o.list->name << ' ' << shown(e.id) << " for '" << shown(names[q])
            << "': " << joined(e.names, "; ") << '\n'
            << "    type " << (e.type.empty() ? std::string("-") : shown(e.type)) << " | programs "
            << joined(e.programs, ", ") << " | dob " << joined(e.dob, ", ") << " | nationality "
            << joined(e.nationality, ", ") << " | listed on "
            << (e.listed_on.empty() ? std::string("-") : shown(e.listed_on)) << '\n';
      };
      for (const Entry& e : r.full) entry(e, "HIT");
      if (r.full_total > r.full.size()) {
        out << "  ... and " << (r.full_total - r.full.size()) << " more hits on " << o.list->name
            << " for '" << shown(names[q]) << "'\n";
      }
      for (const Entry& e : r.partial) entry(e, "PARTIAL");
      if (r.partial_total > r.partial.size()) {
        out << "  ... and " << (r.partial_total - r.partial.size()) << " more partials on "
            << o.list->name << " for '" << shown(names[q]) << "'\n";
      }
    }
  }
  if (!any) out << "no hits and no partials on the lists screened\n";
}

void write_json(const std::vector<ListOutcome>& outcomes, const std::vector<std::string>& names,
                Out& out) {
  json::Array lists, hits, counts;
  for (const ListOutcome& o : outcomes) {
    json::Object l{{"list", std::string(o.list->name)},
                   {"status", o.screened ? "screened" : "not screened"},
                   {"reason", o.screened ? json::Value() : json::Value(shown(o.reason))}};
    if (o.screened) {
      l.set("entries", json::Value(static_cast<long long>(o.entries)));
      l.set("published", o.published.empty() ? json::Value() : json::Value(shown(o.published)));
      l.set("fetched", utc(*o.fetched));
      if (o.sha256.size() == 1) {
        l.set("sha256", o.sha256[0].sha256);
      } else {
        json::Object per_file;
        for (const FileHash& h : o.sha256) per_file.set(h.file, h.sha256);
        l.set("sha256", per_file);
      }
    } else {
      for (const char* k : {"entries", "published", "fetched", "sha256"}) l.set(k, json::Value());
    }
    lists.emplace_back(std::move(l));
    for (size_t q = 0; q < o.results.size(); ++q) {
      const QueryResult& r = o.results[q];
      for (const Entry& e : r.full) hits.push_back(hit_json(o, e, names[q], true));
      for (const Entry& e : r.partial) hits.push_back(hit_json(o, e, names[q], false));
      if (r.full_total + r.partial_total > 0) {
        counts.emplace_back(json::Object{{"list", std::string(o.list->name)},
                                         {"query", shown(names[q])},
                                         {"full", static_cast<long long>(r.full_total)},
                                         {"partial", static_cast<long long>(r.partial_total)}});
      }
    }
  }
  json::Object doc{{"lists", lists}, {"hits", hits}, {"counts", counts}};
  out << json::write(doc, json::Encoding::Ascii) << '\n';
}

}  // namespace q9::screen
