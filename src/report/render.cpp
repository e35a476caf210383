// Document assembly: the fixed pieces of the dossier around the escaped values of one
// report data record, written into a single buffer reserved up front.
#include "report/render.hpp"

#include <algorithm>

#include "core/text_form.hpp"
#include "report/blocks.hpp"

namespace q9::report {
namespace {

using json::Kind;
using json::Value;

// Bytes that _esc() writes for a value, exact for text, a small guess for the rest.
size_t esc_size(const Value* v) {
  if (!v) return 0;
  if (!v->is_string()) return 16;
  size_t n = 0;
  for (char c : v->as_string()) n += std::max<size_t>(1, _entity(c).size());
  return n;
}

size_t raw_size(const Value* v) {
  if (!v) return 0;
  return v->is_string() ? v->as_string().size() : 16;
}

// The document's size for the given record: the fixed text plus the values. Text values
// are counted exactly; others get a guess, so the buffer rarely has to grow.
size_t estimate(const json::Object& d, const Value& sections, const Value& hero_stats,
                const Value& sources) {
  size_t n = 8192 + 3 * esc_size(d.find("company"));
  for (const char* key : {"industry", "founded", "city", "country", "subtitle_suffix"}) {
    n += esc_size(d.find(key));
  }
  n += raw_size(d.find("generated"));
  if (sections.is_array()) {
    for (const Value& s : sections.as_array()) {
      if (!s.is_object()) continue;
      const json::Object& f = s.as_object();
      n += 2 * (esc_size(f.find("id")) + esc_size(f.find("title"))) + esc_size(f.find("subtitle")) +
           raw_size(f.find("body_html")) + 96;
    }
  }
  if (hero_stats.is_array()) {
    for (const Value& s : hero_stats.as_array()) {
      n += 160;
      if (!s.is_object()) continue;
      const json::Object& f = s.as_object();
      n += esc_size(f.find("label")) + esc_size(f.find("value")) + esc_size(f.find("sub"));
    }
  }
  if (sources.is_array()) {
    for (const Value& s : sources.as_array()) n += esc_size(&s) + 3;
  }
  return n;
}

}  // namespace

std::string render(const json::Value& data) {
  if (!data.is_object()) _type_error("report data", Kind::Object, data);
  const json::Object& d = data.as_object();
  const Value kCompany("Company"), kEmptyText(""), kSuffix("Full Dossier"), kYear("2026"),
      kEmptyList(json::Array{});
  auto get = [&d](std::string_view key, const Value& fallback) -> const Value& {
    const Value* v = d.find(key);
    return v ? *v : fallback;
  };
  const Value& company = get("company", kCompany);
  const Value& sections = get("sections", kEmptyList);
  const Value& hero_stats = get("hero_stats", kEmptyList);
  const Value& sources = get("sources", kEmptyList);

  std::string out;
  out.reserve(estimate(d, sections, hero_stats, sources));

  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"UTF-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">\n<title>";
  _esc(out, company);
  out += " \u2014 Full Dossier</title><style>";
  out += CSS;
  out += "</style></head><body>\n<nav class=\"nav\"><span class=\"nav-brand\">";
  _logo(out, "q9GradientNav", 22);
  out += "</span>\n<span class=\"nav-report-label\">";
  _esc(out, company);
  out += " Full Dossier</span>\n<span class=\"nav-links\">";

  // Navigation links. This is the first walk over the sections, so it is the one that
  // rejects a section without id or title; the second walk below cannot fail.
  if (!walkable(sections)) _type_error("sections", Kind::Array, sections);
  for_each_item(sections, [&out](size_t i, const Value& section) {
    if (!section.is_object()) _type_error(_indexed("sections", i), Kind::Object, section);
    const json::Object& f = section.as_object();
    const Value* id = f.find("id");
    if (!id) _missing_key(_indexed("sections", i), "id");
    const Value* title = f.find("title");
    if (!title) _missing_key(_indexed("sections", i), "title");
    out += "<a href=\"#";
    _esc(out, *id);
    out += "\">";
    _esc(out, *title);
    out += "</a>";
  });
  // The sources are judged before the hero grid is built, so that a record with
  // several faults always reports the same one.
  const bool has_sources = text::truthy(sources);
  if (has_sources && !walkable(sources)) _type_error("sources", Kind::Array, sources);

  out += "</span></nav>\n<div class=\"container\">\n<div class=\"cover\">";
  _logo(out, "q9GradientCover", 80);
  out +=
      "\n<div style=\"font-family:var(--mono);font-size:10px;color:var(--text-muted);"
      "text-transform:uppercase;letter-spacing:3px;margin-bottom:32px;\">Powered by ";
  out += BRAND;
  out +=
      "</div>\n<div style=\"width:40px;height:1px;background:var(--border-accent);"
      "margin:0 auto 32px;\"></div>\n<div style=\"font-family:var(--mono);font-size:11px;"
      "color:var(--text-secondary);text-transform:uppercase;letter-spacing:4px;\">";
  out += REPORT_LABEL;
  out +=
      "</div></div>\n<section id=\"overview\">\n<div style=\"display:flex;align-items:center;"
      "gap:16px;margin-bottom:8px;\"><h1 style=\"margin-bottom:0;\">";
  _esc(out, company);
  out += "</h1>";
  _thailand_flag(out);
  out += "</div>\n<p class=\"subtitle\">";
  _esc(out, get("industry", kEmptyText));
  out += " | Founded ";
  _esc(out, get("founded", kEmptyText));
  out += " | ";
  _esc(out, get("city", kEmptyText));
  out += ", ";
  _esc(out, get("country", kEmptyText));
  out += " | ";
  _esc(out, get("subtitle_suffix", kSuffix));
  out += "</p>\n";
  _hero(out, hero_stats);
  out += "</section>\n";

  for_each_item(sections, [&out, &kEmptyText](size_t, const Value& section) {
    const json::Object& f = section.as_object();
    const Value* subtitle = f.find("subtitle");
    const Value* body = f.find("body_html");
    _section(out, *f.find("id"), *f.find("title"), subtitle ? *subtitle : kEmptyText,
             body ? *body : kEmptyText);
  });

  out +=
      "\n<div class=\"footer\"><div style=\"display:flex;align-items:center;gap:24px;"
      "margin-bottom:16px;flex-wrap:wrap;justify-content:center;\">\n";
  _logo(out, "q9GradientFooter", 32);
  out +=
      "\n<span style=\"font-family:var(--mono);font-size:11px;color:var(--text-muted);"
      "text-transform:uppercase;letter-spacing:1px;\">Powered by ";
  out += BRAND;
  out += "</span></div>\n<p class=\"src\">Report generated ";
  text::append_text_form(out, get("generated", kYear));
  out += " | Varnook Q9</p>\n<p class=\"src\" style=\"margin-top:8px;\">Data sources: ";
  if (has_sources) {
    for_each_item(sources, [&out](size_t i, const Value& source) {
      if (i) out += " | ";
      _esc(out, source);
    });
  }
  out +=
      "</p>\n<p style=\"margin-top:8px;font-size:11px;color:var(--text-muted);\">This report "
      "is for informational purposes only and does not constitute investment advice.</p>\n"
      "</div></div></body></html>";
  return out;
}

}  // namespace q9::report
