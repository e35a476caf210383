// The audit of a report data record in process: which texts are read, and the text and JSON
// it prints.
#include "audit/output.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "audit/dossier.hpp"
#include "core/json.hpp"
#include "core/utf8.hpp"

namespace q9::audit {
namespace {

struct Printed {
  std::string text, json;
};

// The audit of the data `record` against sourced facts with `claims`, printed both ways.
Printed audited(std::string_view record, std::initializer_list<std::string_view> claims,
                std::initializer_list<std::string_view> contradictions = {}) {
  Audit audit = read_dossier(json::parse(record));
  Evidence evidence;
  expect_figures(audit, evidence);
  for (std::string_view claim : claims)
    evidence.add_fact("people", claim, "registry", "2023-01-31");
  for (std::string_view c : contradictions) evidence.add_contradiction("staff", c);
  judge_figures(audit, evidence);
  std::ostringstream text, json;
  {
    Out out(text);
    write_text(audit, out);
    Out out_json(json);
    write_json("Acme", audit, evidence, out_json);
  }
  return {text.str(), json.str()};
}

TEST(OutputTest, ReadsWhatTheReaderSeesAboutTheCompany) {
  const Printed p = audited(R"({"generated": "2026-03-14",
      "hero_stats": [{"label": "Staff", "value": 2310, "sub": "\u001b[2J 1,500 sites"}],
      "sections": [
        {"id": "summary", "title": "Summary 150m", "body_html": "<p title='999'>2,310 staff</p>"},
        {"id": "methodology", "title": "Method", "body_html": "<p>1,234 pages</p>"},
        {"id": "screening", "title": "Screening", "subtitle": "4,321 lists"},
        {"id": "culture\n", "title": "Culture", "body_html": "<td>ok</td><td>777</td>"}]})",
                            {"headcount 2,310", "UNVERIFIED: 1,500 sites"}, {"2,310 vs 2,400"});
  EXPECT_EQ(
      p.text,
      "hero_stats:\n"
      "  contradicted  2310  \"Staff | 2310 | \\u001b[2J 1,500 sites\" (contradiction: staff)\n"
      "  unverified    1,500  \"Staff | 2310 | \\u001b[2J 1,500 sites\"\n"
      "summary:\n"
      "  unsourced     150m  \"Summary 150m | \"\n"
      "  contradicted  2,310  \"2,310 staff\" (contradiction: staff)\n"
      "culture\\n:\n"
      "  unsourced     777  \"ok | 777\"\n"
      "figures: 5, sourced: 0, unverified: 1, stale: 0, contradicted: 2, unsourced: 2\n");
}

TEST(OutputTest, StaleOnlyWherePresentedAsCurrent) {
  const Printed p = audited(R"({"generated": "2026-03-14",
      "hero_stats": [{"label": "Revenue", "value": "5.44bn"}],
      "sections": [{"id": "financials", "title": "F", "body_html": "5.44bn"}]})",
                            {"revenue THB 5,437.8 million"});
  EXPECT_EQ(p.text,
            "hero_stats:\n"
            "  stale         5.44bn  \"Revenue | 5.44bn | \" (newest fact 2023-01-31)\n"
            "figures: 2, sourced: 1, unverified: 0, stale: 1, contradicted: 0, unsourced: 0\n");
}

TEST(OutputTest, Json) {
  const Printed p = audited(
      R"({"sections": [{"id": "s", "title": "ยอดขาย ฿5.44bn", "body_html": "(12.5%) 0.5pp"}]})",
      {"sales THB 5.44bn"});
  EXPECT_EQ(p.json, R"json({
  "entity": "Acme",
  "counts": {
    "figures": 3,
    "sourced": 1,
    "unverified": 0,
    "stale": 0,
    "contradicted": 0,
    "unsourced": 2
  },
  "figures": [
    {
      "text": "\u0e3f5.44bn",
      "value": 5440000000,
      "unit": "THB",
      "section": "s",
      "status": "sourced",
      "facts": [
        {
          "section": "people",
          "claim": "sales THB 5.44bn",
          "source": "registry",
          "date": "2023-01-31"
        }
      ]
    },
    {
      "text": "(12.5%)",
      "value": -12.5,
      "unit": "%",
      "section": "s",
      "status": "unsourced",
      "facts": []
    },
    {
      "text": "0.5pp",
      "value": 0.5,
      "unit": "pp",
      "section": "s",
      "status": "unsourced",
      "facts": []
    }
  ]
}
)json");
}

// A context cut inside a character would put invalid UTF-8 on the terminal and in the JSON.
TEST(OutputTest, ContextIsCutBetweenCharacters) {
  std::string body;
  for (int i = 0; i < 60; ++i) body += "ล้าน";
  body += " 1,234 and ";
  for (int i = 0; i < 60; ++i) body += "€";
  const Audit audit = read_dossier(json::Value(json::Object{
      {"sections", json::Array{json::Object{{"id", "s"}, {"title", "t"}, {"body_html", body}}}}}));
  ASSERT_EQ(audit.figures.size(), 1u);
  const std::string& context = audit.figures[0].context;
  EXPECT_FALSE(utf8::find_invalid(context));
  EXPECT_EQ(utf8::length(context), 2u + 40 + 5 + 40);  // "…" either side
}

TEST(OutputTest, ShapesThatHideTheTextsAreErrors) {
  const struct {
    std::string_view record, message;
  } rows[] = {
      {R"([])", "the report data must be a JSON object"},
      {R"({"sections": {"id": "a"}})", "sections must be an array"},
      {R"({"hero_stats": [{"value": "5m"}, "5m"]})", "hero_stats[1] must be an object"},
  };
  for (const auto& row : rows) {
    try {
      read_dossier(json::parse(row.record));
      ADD_FAILURE() << "no error for " << row.record;
    } catch (const DataError& e) {
      EXPECT_EQ(std::string(e.what()), row.message);
    }
  }
}

}  // namespace
}  // namespace q9::audit
