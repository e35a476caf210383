#include "report/render.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/utf8.hpp"
#include "report/blocks.hpp"

namespace q9::report {
namespace {

std::string R(std::string_view json_text) { return render(json::parse(json_text)); }

size_t count(std::string_view text, std::string_view part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

bool has(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

TEST(RenderTest, EmptyRecordGivesTheBareDocument) {
  const std::string doc = R("{}");
  EXPECT_EQ(utf8::length(doc), 7775u);
  EXPECT_EQ(doc.size(), 7777u);
  EXPECT_EQ(std::count(doc.begin(), doc.end(), '\n'), 75);  // 76 lines, none after the last
  EXPECT_EQ(doc.rfind("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"UTF-8\">\n", 0),
            0u);
  for (std::string_view part : {
           "<title>Company \u2014 Full Dossier</title><style>\n:root{",
           "}}\n</style></head><body>\n<nav class=\"nav\"><span class=\"nav-brand\"><svg ",
           "<span class=\"nav-report-label\">Company Full Dossier</span>",
           "<span class=\"nav-links\"></span></nav>\n<div class=\"container\">\n"
           "<div class=\"cover\"><svg ",
           "<h1 style=\"margin-bottom:0;\">Company</h1><svg ",
           "<p class=\"subtitle\"> | Founded  | ,  | Full Dossier</p>\n"
           "<div class=\"hero-grid\"></div></section>\n\n<div class=\"footer\">",
           "<p class=\"src\">Report generated 2026 | Varnook Q9</p>",
           "Data sources: </p>",
       }) {
    EXPECT_TRUE(has(doc, part)) << part;
  }
  EXPECT_EQ(count(doc, "<svg "), 4u);
  EXPECT_EQ(count(doc, "Powered by Varnook Q9 Agent"), 2u);
  EXPECT_EQ(count(doc, "Enterprise Research Report"), 1u);
  EXPECT_EQ(count(doc, "<section id=\""), 1u);
  EXPECT_EQ(count(doc, "url("), 3u);
  EXPECT_TRUE(doc.ends_with("investment advice.</p>\n</div></div></body></html>"));
  // The logos, in document order, with their own gradients and heights.
  size_t nav = doc.find(_logo("q9GradientNav", 22));
  size_t cover = doc.find(_logo("q9GradientCover", 80));
  size_t footer = doc.find(_logo("q9GradientFooter", 32));
  EXPECT_TRUE(nav < cover && cover < footer && footer != std::string::npos);
}

TEST(RenderTest, FieldsAndDefaults) {
  struct Case {
    const char* data;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {R"({"company": "A&B"})",
       {"<title>A&amp;B \u2014", ">A&amp;B Full Dossier</span>", ">A&amp;B</h1>"},
       {"A&B"}},
      {R"({"company": null})",
       {"<title>None \u2014", ">None Full Dossier</span>", ">None</h1>"},
       {"Company"}},
      {R"({"generated": "<b>2027</b>"})", {"Report generated <b>2027</b> | Varnook Q9"}, {}},
      {R"({"generated": 2027})", {"Report generated 2027 | Varnook Q9"}, {}},
      {R"({"sources": ["A", "B & C"]})", {"Data sources: A | B &amp; C</p>"}, {}},
      {R"({"sources": "ab"})", {"Data sources: a | b</p>"}, {}},
      {R"({"sources": {"x": 1, "y": 2}})", {"Data sources: x | y</p>"}, {}},
      {R"({"sources": [null, 1.5, ["q"]]})",
       {"Data sources: None | 1.5 | [&#x27;q&#x27;]</p>"},
       {}},
      {R"({"sources": 0})", {"Data sources: </p>"}, {}},
      {R"({"industry": "Logistics", "founded": 1998, "city": "Bangkok", "country": "France",
          "subtitle_suffix": "Brief"})",
       {"<p class=\"subtitle\">Logistics | Founded 1998 | Bangkok, France | Brief</p>",
        "fill=\"#2D2A4A\""},
       {}},
      {R"({"founded": 1998.0, "subtitle_suffix": null})", {"| Founded 1998.0 |", "| None</p>"}, {}},
      {R"({"sections": [{"id": "a", "title": "A"}, {"id": "b", "title": "B"}]})",
       {"<span class=\"nav-links\"><a href=\"#a\">A</a><a href=\"#b\">B</a></span>",
        "</section>\n<section id=\"a\"><h2>A</h2><p class=\"section-subtitle\"></p></section>"
        "<section id=\"b\"><h2>B</h2><p class=\"section-subtitle\"></p></section>\n"
        "<div class=\"footer\">"},
       {}},
      {R"({"sections": [{"id": "", "title": "<T>"}, {"id": "overview", "title": "O"},
                        {"id": "overview", "title": "O", "subtitle": 3, "body_html": "<p>b</p>"}]})",
       {"<a href=\"#\">&lt;T&gt;</a><a href=\"#overview\">O</a><a href=\"#overview\">O</a>",
        "<section id=\"\"><h2>&lt;T&gt;</h2>",
        "<section id=\"overview\"><h2>O</h2><p class=\"section-subtitle\">3</p><p>b</p></section>"},
       {}},
  };
  for (const auto& c : cases) {
    const std::string doc = R(c.data);
    for (const auto& part : c.present) EXPECT_TRUE(has(doc, part)) << c.data << "\nwants " << part;
    for (const auto& part : c.absent) EXPECT_FALSE(has(doc, part)) << c.data << "\nhas " << part;
  }
}

TEST(RenderTest, FailuresReportTheFirstFaultInOrder) {
  struct Case {
    const char* data;
    const char* message;
  } cases[] = {
      {"[]", "report data: expected object, found array"},
      {"12", "report data: expected object, found integer"},
      {R"({"sections": null})", "sections: expected array, found null"},
      {R"({"sections": 1})", "sections: expected array, found integer"},
      {R"({"sections": "ab"})", "sections[0]: expected object, found string"},
      {R"({"sections": {"a": {}}})", "sections[0]: expected object, found string"},
      {R"({"sections": [{"id": "a", "title": "A"}, 5]})",
       "sections[1]: expected object, found integer"},
      {R"({"sections": [{"title": "A"}]})", "sections[0]: missing key 'id'"},
      {R"({"sections": [{"id": "a", "title": "A"}, {"id": "b"}]})",
       "sections[1]: missing key 'title'"},
      {R"({"sources": 7})", "sources: expected array, found integer"},
      {R"({"sources": true})", "sources: expected array, found boolean"},
      {R"({"hero_stats": [{"label": "x"}]})", "hero_stats[0]: missing key 'value'"},
      // Several faults: sections before sources before hero stats, whatever the key order.
      {R"({"hero_stats": 1, "sources": 1, "sections": 1})",
       "sections: expected array, found integer"},
      {R"({"hero_stats": 1, "sources": 1, "sections": []})",
       "sources: expected array, found integer"},
      {R"({"hero_stats": "x", "sources": [], "sections": [{"id": 1, "title": 2}]})",
       "hero_stats[0]: expected object, found string"},
  };
  for (const auto& c : cases) {
    try {
      R(c.data);
      ADD_FAILURE() << "no error for " << c.data;
    } catch (const RenderError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.data;
    }
  }
}

TEST(RenderTest, BrokenUtf8TextIsWalkedWithoutReadingPastItsEnd) {
  // The reader never produces such text, but render() takes any value. Each byte outside
  // UTF-8 is an item of its own, as utf8::decode() reads it.
  json::Object data{{"sources", std::string("a\xff\xe2\x82")}};
  EXPECT_TRUE(has(render(data), "Data sources: a | \xff | \xe2 | \x82</p>"));
}

}  // namespace
}  // namespace q9::report
