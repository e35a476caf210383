// The renderer's building blocks. Each appends to a caller's string so that render()
// fills one buffer; the returning forms wrap the appending ones.
#include "report/blocks.hpp"

#include "core/text_form.hpp"
#include "report/render.hpp"

namespace q9::report {
namespace {

constexpr std::string_view kSvgOpen = "<svg xmlns=\"http://www.w3.org/2000/svg\"";

}  // namespace

void _type_error(const std::string& where, json::Kind expected, const json::Value& found) {
  throw RenderError(where + ": expected " + json::kind_name(expected) + ", found " +
                    json::kind_name(found.kind()));
}

void _missing_key(const std::string& where, std::string_view key) {
  throw RenderError(where + ": missing key '" + std::string(key) + "'");
}

std::string _indexed(std::string_view name, size_t i) {
  return std::string(name) + "[" + std::to_string(i) + "]";
}

void _esc(std::string& out, std::string_view text) {
  // Copies runs of ordinary bytes in one piece; only the five special ASCII characters
  // break a run, so multi-byte UTF-8 sequences pass through untouched.
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* p = run; p < end; ++p) {
    const std::string_view entity = _entity(*p);
    if (entity.empty()) continue;
    out.append(run, static_cast<size_t>(p - run));
    out += entity;
    run = p + 1;
  }
  out.append(run, static_cast<size_t>(end - run));
}

void _esc(std::string& out, const json::Value& s) {
  if (s.is_string()) {
    _esc(out, std::string_view(s.as_string()));
  } else {
    _esc(out, std::string_view(text::text_form(s)));
  }
}

std::string _esc(const json::Value& s) {
  std::string out;
  _esc(out, s);
  return out;
}

void _logo(std::string& out, std::string_view gradient_id, long long height) {
  out += kSvgOpen;
  out += " viewBox=\"0 0 640 170\" style=\"height:";
  out += std::to_string(height);
  out += "px;width:auto;\">\n<defs><linearGradient id=\"";
  out += gradient_id;
  out +=
      "\" x1=\"0%\" y1=\"0%\" x2=\"0%\" y2=\"100%\">\n"
      "<stop offset=\"0%\" stop-color=\"#0F766E\"/><stop offset=\"50%\" stop-color=\"#115E59\"/>"
      "<stop offset=\"100%\" stop-color=\"#042F2E\"/>\n"
      "</linearGradient></defs>\n"
      "<text x=\"50%\" y=\"50%\" text-anchor=\"middle\" dominant-baseline=\"middle\" "
      "font-family=\"'Helvetica Neue','Inter',Arial,sans-serif\" font-weight=\"100\" "
      "font-size=\"110\" letter-spacing=\"2\" fill=\"url(#";
  out += gradient_id;
  out += ")\">Varnook Q9<tspan font-size=\"32\" dy=\"-55\" dx=\"4\">&#8482;</tspan></text></svg>";
}

std::string _logo(std::string_view gradient_id, long long height) {
  std::string out;
  _logo(out, gradient_id, height);
  return out;
}

void _thailand_flag(std::string& out) {
  static constexpr std::string_view kColours[] = {"#A51931", "#F4F5F8", "#2D2A4A", "#F4F5F8",
                                                  "#A51931"};
  out += kSvgOpen;
  out += " viewBox=\"0 0 60 40\" style=\"width:32px;height:21px;flex-shrink:0;\">";
  int y = 0;
  for (std::string_view colour : kColours) {
    out += "<rect y=\"";
    out += std::to_string(y);
    out += "\" width=\"60\" height=\"8\" fill=\"";
    out += colour;
    out += "\"/>";
    y += 8;
  }
  out += "</svg>";
}

std::string _thailand_flag() {
  std::string out;
  _thailand_flag(out);
  return out;
}

std::string _table(const json::Array& headers, const json::Array& rows,
                   const std::set<size_t>& numeric_cols) {
  auto numeric = [&](size_t i) { return numeric_cols.count(i) != 0; };
  std::string out = "<table><tr>";
  for (size_t i = 0; i < headers.size(); ++i) {
    out += numeric(i) ? "<th class=\"num\">" : "<th>";
    _esc(out, headers[i]);
    out += "</th>";
  }
  out += "</tr>";
  for (size_t r = 0; r < rows.size(); ++r) {
    const json::Value& row = rows[r];
    if (!row.is_array()) _type_error(_indexed("rows", r), json::Kind::Array, row);
    out += "<tr>";
    const json::Array& cells = row.as_array();
    for (size_t i = 0; i < cells.size(); ++i) {
      const json::Value& cell = cells[i];
      out += numeric(i) ? "<td class=\"num\">" : "<td>";
      if (cell.is_string() && !cell.as_string().empty() && cell.as_string()[0] == '<') {
        out += cell.as_string();  // ready-made markup
      } else {
        _esc(out, cell);
      }
      out += "</td>";
    }
    out += "</tr>";
  }
  out += "</table>";
  return out;
}

void _hero(std::string& out, const json::Value& stats) {
  if (!walkable(stats)) _type_error("hero_stats", json::Kind::Array, stats);
  out += "<div class=\"hero-grid\">";
  for_each_item(stats, [&out](size_t i, const json::Value& stat) {
    if (!stat.is_object()) _type_error(_indexed("hero_stats", i), json::Kind::Object, stat);
    const json::Object& fields = stat.as_object();
    // The keys are looked at in this order: label, pos, value, sub.
    const json::Value* label = fields.find("label");
    if (!label) _missing_key(_indexed("hero_stats", i), "label");
    const json::Value* pos = fields.find("pos");
    const json::Value* value = fields.find("value");
    if (!value) _missing_key(_indexed("hero_stats", i), "value");
    const json::Value* sub = fields.find("sub");

    out += "<div class=\"hero-stat\"><div class=\"hero-stat-label\">";
    _esc(out, *label);
    out += "</div>\n<div class=\"hero-stat-value";
    if (pos && text::truthy(*pos)) out += " pos";
    out += "\">";
    _esc(out, *value);
    out += "</div>\n<div class=\"hero-stat-sub\">";
    if (sub) _esc(out, *sub);
    out += "</div></div>";
  });
  out += "</div>";
}

std::string _hero(const json::Value& stats) {
  std::string out;
  _hero(out, stats);
  return out;
}

void _section(std::string& out, const json::Value& sid, const json::Value& title,
              const json::Value& subtitle, const json::Value& body) {
  out += "<section id=\"";
  _esc(out, sid);
  out += "\"><h2>";
  _esc(out, title);
  out += "</h2><p class=\"section-subtitle\">";
  _esc(out, subtitle);
  out += "</p>";
  if (body.is_string()) {
    out += body.as_string();
  } else {
    text::append_text_form(out, body);
  }
  out += "</section>";
}

std::string _section(const json::Value& sid, const json::Value& title, const json::Value& subtitle,
                     const json::Value& body) {
  std::string out;
  _section(out, sid, title, subtitle, body);
  return out;
}

}  // namespace q9::report
