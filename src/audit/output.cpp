// The text and JSON forms of an audit.
#include "audit/output.hpp"

#include <cmath>
#include <cstdlib>
#include <string>

#include "core/json.hpp"
#include "core/quoted_text.hpp"

namespace q9::audit {
namespace {

constexpr std::string_view COUNT_NAMES[] = {"unsourced", "unverified", "contradicted", "stale",
                                            "sourced"};
// The order the counts are printed in.
constexpr Status COUNT_ORDER[] = {Status::Sourced, Status::Unverified, Status::Stale,
                                  Status::Contradicted, Status::Unsourced};

// A figure's value as a JSON number: exact digits when whole, else the nearest double (its
// shortest form gives back the digits shown for any figure of up to 15 of them).
json::Value _number(const Decimal& d) {
  if (d.exponent >= 0) return json::Value(json::Integer{d.text()});
  const double x = std::strtod(d.text().c_str(), nullptr);
  if (std::isfinite(x)) return json::Value(x);
  Decimal whole = d;  // beyond a double's range: its whole part, exactly
  whole.digits.resize(whole.digits.size() - static_cast<size_t>(-whole.exponent));
  whole.exponent = 0;
  return json::Value(json::Integer{whole.text()});
}

}  // namespace

void write_text(const Audit& audit, Out& out) {
  const std::string* section = nullptr;
  for (const AuditedFigure& f : audit.figures) {
    const Verdict& v = f.verdict;
    if (v.status == Status::Sourced) continue;
    if (!section || *section != f.section) {
      section = &f.section;
      out << text::one_line(f.section) << ":\n";
    }
    std::string word(status_word(v.status));
    word.resize(14, ' ');
    out << "  " << word << text::one_line(f.text) << "  \"" << text::one_line(f.context) << "\"";
    if (v.status == Status::Stale) out << " (newest fact " << v.newest << ")";
    if (v.status == Status::Contradicted) {
      out << " (contradiction: " << text::one_line(v.topic) << ")";
    }
    out << "\n";
  }
  out << "figures: " << audit.figures.size();
  for (Status s : COUNT_ORDER) {
    out << ", " << status_word(s) << ": " << audit.counts[static_cast<size_t>(s)];
  }
  out << "\n";
}

void write_json(std::string_view entity, const Audit& audit, const Evidence& evidence, Out& out) {
  json::Writer w(json::Encoding::Ascii, [&out](std::string_view piece) { out << piece; });
  w.begin_object();
  w.key("entity");
  w.string(entity);
  w.key("counts");
  w.begin_object();
  w.key("figures");
  w.value(static_cast<long long>(audit.figures.size()));
  for (Status s : COUNT_ORDER) {
    w.key(COUNT_NAMES[static_cast<size_t>(s)]);
    w.value(static_cast<long long>(audit.counts[static_cast<size_t>(s)]));
  }
  w.end();
  w.key("figures");
  w.begin_array();
  for (const AuditedFigure& f : audit.figures) {
    w.begin_object();
    w.key("text");
    w.string(f.text);
    w.key("value");
    w.value(_number(f.figure.value));
    w.key("unit");
    w.string(unit_text(f.figure));
    w.key("section");
    w.string(f.section);
    w.key("status");
    w.string(status_word(f.verdict.status));
    w.key("facts");
    w.begin_array();
    for (uint32_t i : f.verdict.facts) {
      const Fact& fact = evidence.facts()[i];
      w.begin_object();
      for (const auto& [key, value] : {std::pair{"section", fact.section()},
                                       {"claim", fact.claim()},
                                       {"source", fact.source()},
                                       {"date", fact.date()}}) {
        w.key(key);
        w.string(value);
      }
      w.end();
    }
    w.end();
    w.end();
  }
  w.end();
  w.end();
  w.finish();
  out << "\n";
}

}  // namespace q9::audit
