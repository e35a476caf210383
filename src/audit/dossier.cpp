// Walking a report data record as the renderer lays it out, and judging each figure.
#include "audit/dossier.hpp"

#include "audit/visible_text.hpp"
#include "core/text_form.hpp"

namespace q9::audit {
namespace {

constexpr size_t CONTEXT = 40;  // code points shown on either side of a figure

// What the renderer shows for a member: its text form, or nothing when it is absent.
std::string _shown(const json::Object& o, std::string_view key) {
  const json::Value* v = o.find(key);
  return v ? text::text_form(*v) : "";
}

const json::Array& _array(const json::Object& data, std::string_view key) {
  static const json::Array none;
  const json::Value* v = data.find(key);
  if (!v) return none;
  if (!v->is_array()) throw DataError(std::string(key) + " must be an array");
  return v->as_array();
}

const json::Object& _object(const json::Value& v, std::string_view what, size_t index) {
  if (!v.is_object()) {
    throw DataError(std::string(what) + "[" + std::to_string(index) + "] must be an object");
  }
  return v.as_object();
}

bool _continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Up to CONTEXT code points of `text` on either side of [begin, end), on one line.
std::string _context(std::string_view text, size_t begin, size_t end) {
  size_t from = begin, to = end;
  for (size_t n = 0; n < CONTEXT && from > 0; ++n) {
    do --from;
    while (from > 0 && _continuation(text[from]));
  }
  for (size_t n = 0; n < CONTEXT && to < text.size(); ++n) {
    do ++to;
    while (to < text.size() && _continuation(text[to]));
  }
  std::string out = from > 0 ? "…" : "";
  for (char c : text.substr(from, to - from)) {
    if (c == BREAK) {
      out += " | ";
    } else {
      out += c;
    }
  }
  if (to < text.size()) out += "…";
  return out;
}

}  // namespace

std::vector<Passage> passages(const json::Value& data) {
  if (!data.is_object()) throw DataError("the report data must be a JSON object");
  const json::Object& d = data.as_object();
  std::vector<Passage> out;
  const json::Array& hero = _array(d, "hero_stats");
  for (size_t i = 0; i < hero.size(); ++i) {
    const json::Object& stat = _object(hero[i], "hero_stats", i);
    out.push_back(
        {"hero_stats",
         _shown(stat, "label") + BREAK + _shown(stat, "value") + BREAK + _shown(stat, "sub"),
         true});
  }
  const json::Array& sections = _array(d, "sections");
  for (size_t i = 0; i < sections.size(); ++i) {
    const json::Object& s = _object(sections[i], "sections", i);
    const std::string id = _shown(s, "id");
    if (id == "methodology" || id == "screening") continue;
    const bool current = id == "summary";
    out.push_back({id, _shown(s, "title") + BREAK + _shown(s, "subtitle"), current});
    out.push_back({id, visible_text(_shown(s, "body_html")), current});
  }
  return out;
}

Audit read_dossier(const json::Value& data) {
  const std::vector<Passage> texts = passages(data);
  const json::Value* generated = data.as_object().find("generated");
  Audit result;
  result.stale_before = generated ? stale_before(text::text_form(*generated)) : "";
  for (const Passage& p : texts) {
    read_figures(p.text, [&](const Figure& f) {
      result.figures.push_back({p.section,
                                p.text.substr(f.begin, f.end - f.begin),
                                _context(p.text, f.begin, f.end),
                                p.current,
                                f,
                                {}});
    });
  }
  return result;
}

void expect_figures(const Audit& audit, Evidence& evidence) {
  for (const AuditedFigure& f : audit.figures) evidence.expect(f.figure);
}

void judge_figures(Audit& audit, Evidence& evidence) {
  audit.counts = {};
  for (AuditedFigure& f : audit.figures) {
    f.verdict = evidence.judge(f.figure, f.current, audit.stale_before);
    ++audit.counts[static_cast<size_t>(f.verdict.status)];
  }
}

}  // namespace q9::audit
