#include "report/blocks.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "report/render.hpp"

namespace q9::report {
namespace {

using json::Value;

Value J(std::string_view text) { return json::parse(text); }

TEST(EscTest, TextFormOfEveryKindEscaped) {
  struct Case {
    const char* json;
    const char* want;
  } cases[] = {
      {R"("a<b & \"c\" 'd'")", "a&lt;b &amp; &quot;c&quot; &#x27;d&#x27;"},
      {R"("&amp;")", "&amp;amp;"},
      {R"("Zürich — ฿")", "Zürich — ฿"},
      {R"("")", ""},
      {"null", "None"},
      {"true", "True"},
      {"false", "False"},
      {"1998", "1998"},
      {"-0", "0"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"1998.0", "1998.0"},
      {"2.5", "2.5"},
      {"1e16", "1e+16"},
      {"0.00001", "1e-05"},
      {"NaN", "nan"},
      {"-Infinity", "-inf"},
      {R"(["a", 1, null, "it's"])", "[&#x27;a&#x27;, 1, None, &quot;it&#x27;s&quot;]"},
      {R"({"k": "<v>", "n": {}})", "{&#x27;k&#x27;: &#x27;&lt;v&gt;&#x27;, &#x27;n&#x27;: {}}"},
      {R"(["tab\there"])", "[&#x27;tab\\there&#x27;]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(_esc(J(c.json)), c.want) << "value " << c.json;
  }
}

TEST(LogoTest, UsesItsGradientAndHeight) {
  std::string logo = _logo("g1", 22);
  EXPECT_EQ(logo.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 640 170\"", 0), 0u);
  EXPECT_NE(logo.find("style=\"height:22px;width:auto;\""), std::string::npos);
  EXPECT_NE(logo.find("<linearGradient id=\"g1\""), std::string::npos);
  EXPECT_NE(logo.find("fill=\"url(#g1)\""), std::string::npos);
  EXPECT_NE(logo.find(">Varnook Q9<tspan font-size=\"32\" dy=\"-55\" dx=\"4\">&#8482;</tspan>"),
            std::string::npos);
  EXPECT_EQ(std::count(logo.begin(), logo.end(), '\n'), 4);
  EXPECT_EQ(logo.size(), 580u);
  EXPECT_EQ(logo, _logo("g1", 22));
  EXPECT_NE(_logo("g2", 80).find("height:80px"), std::string::npos);
}

TEST(FlagTest, FiveEqualStripes) {
  EXPECT_EQ(_thailand_flag(),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 60 40\" "
            "style=\"width:32px;height:21px;flex-shrink:0;\">"
            "<rect y=\"0\" width=\"60\" height=\"8\" fill=\"#A51931\"/>"
            "<rect y=\"8\" width=\"60\" height=\"8\" fill=\"#F4F5F8\"/>"
            "<rect y=\"16\" width=\"60\" height=\"8\" fill=\"#2D2A4A\"/>"
            "<rect y=\"24\" width=\"60\" height=\"8\" fill=\"#F4F5F8\"/>"
            "<rect y=\"32\" width=\"60\" height=\"8\" fill=\"#A51931\"/></svg>");
}

TEST(TableTest, Layouts) {
  struct Case {
    const char* headers;
    const char* rows;
    std::set<size_t> numeric;
    const char* want;
  } cases[] = {
      {R"(["A", "B"])",
       R"([[1, "<b>x</b>"], ["a<b", 2.5]])",
       {0},
       "<table><tr><th class=\"num\">A</th><th>B</th></tr>"
       "<tr><td class=\"num\">1</td><td><b>x</b></td></tr>"
       "<tr><td class=\"num\">a&lt;b</td><td>2.5</td></tr></table>"},
      {"[]", "[]", {}, "<table><tr></tr></table>"},
      // A leading space means the cell is text, not markup; short and long rows stay so.
      {R"(["H"])",
       R"([[" <b>"], [], [1, 2]])",
       {},
       "<table><tr><th>H</th></tr><tr><td> &lt;b&gt;</td></tr><tr></tr>"
       "<tr><td>1</td><td>2</td></tr></table>"},
      {R"(["<i>h</i>", null])",
       R"([[""]])",
       {1, 5},
       "<table><tr><th>&lt;i&gt;h&lt;/i&gt;</th><th class=\"num\">None</th></tr>"
       "<tr><td></td></tr></table>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(_table(J(c.headers).as_array(), J(c.rows).as_array(), c.numeric), c.want)
        << c.headers << " " << c.rows;
  }
}

TEST(TableTest, RowThatIsNotAnArrayFails) {
  EXPECT_THROW(_table({}, J("[null]").as_array()), RenderError);
  try {
    _table({}, J(R"([[1], {"a": 1}])").as_array());
  } catch (const RenderError& e) {
    EXPECT_STREQ(e.what(), "rows[1]: expected array, found object");
  }
}

TEST(HeroTest, Cells) {
  const std::string cell_pos =
      "<div class=\"hero-stat\"><div class=\"hero-stat-label\">L</div>\n"
      "<div class=\"hero-stat-value pos\">V</div>\n<div class=\"hero-stat-sub\"></div></div>";
  const std::string cell_plain =
      "<div class=\"hero-stat\"><div class=\"hero-stat-label\">L</div>\n"
      "<div class=\"hero-stat-value\">V</div>\n<div class=\"hero-stat-sub\"></div></div>";
  auto grid = [](const std::string& cells) {
    return "<div class=\"hero-grid\">" + cells + "</div>";
  };
  struct Case {
    const char* stats;
    std::string want;
  } cases[] = {
      {"[]", grid("")},
      {R"("")", grid("")},
      {"{}", grid("")},
      {R"([{"label": "L", "value": "V", "pos": "no"}])", grid(cell_pos)},
      {R"([{"label": "L", "value": "V", "pos": 0}, {"label": "L", "value": "V", "pos": ""},
           {"label": "L", "value": "V"}])",
       grid(cell_plain + cell_plain + cell_plain)},
      {R"([{"label": 1, "value": 2.0, "sub": null}])",
       grid("<div class=\"hero-stat\"><div class=\"hero-stat-label\">1</div>\n"
            "<div class=\"hero-stat-value\">2.0</div>\n"
            "<div class=\"hero-stat-sub\">None</div></div>")},
      {R"([{"value": "<b>", "label": "a&b", "sub": "'s'", "extra": 1}])",
       grid("<div class=\"hero-stat\"><div class=\"hero-stat-label\">a&amp;b</div>\n"
            "<div class=\"hero-stat-value\">&lt;b&gt;</div>\n"
            "<div class=\"hero-stat-sub\">&#x27;s&#x27;</div></div>")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(_hero(J(c.stats)), c.want) << c.stats;
  }
}

TEST(HeroTest, Failures) {
  struct Case {
    const char* stats;
    const char* message;
  } cases[] = {
      {"null", "hero_stats: expected array, found null"},
      {"3", "hero_stats: expected array, found integer"},
      {"false", "hero_stats: expected array, found boolean"},
      {R"("ab")", "hero_stats[0]: expected object, found string"},
      {R"({"label": 1})", "hero_stats[0]: expected object, found string"},
      {R"([{"label": "L", "value": 1}, null])", "hero_stats[1]: expected object, found null"},
      {R"([{"value": 1}])", "hero_stats[0]: missing key 'label'"},
      {R"([{"label": 1}])", "hero_stats[0]: missing key 'value'"},
  };
  for (const auto& c : cases) {
    try {
      _hero(J(c.stats));
      ADD_FAILURE() << "no error for " << c.stats;
    } catch (const RenderError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.stats;
    }
  }
}

TEST(SectionTest, Layouts) {
  EXPECT_EQ(_section("a&b", "T", "", "<p>x</p>"),
            "<section id=\"a&amp;b\"><h2>T</h2><p class=\"section-subtitle\"></p><p>x</p>"
            "</section>");
  // The body is not escaped; values of other kinds appear as their text form.
  EXPECT_EQ(_section(7, nullptr, "s<", Value(json::Array{"<i>", 1})),
            "<section id=\"7\"><h2>None</h2><p class=\"section-subtitle\">s&lt;</p>['<i>', 1]"
            "</section>");
}

TEST(CssTest, Shape) {
  EXPECT_EQ(CSS.size(), 3937u);
  EXPECT_EQ(CSS.rfind("\n:root{", 0), 0u);
  const std::string_view last =
      "@media (max-width:900px){.hero-grid{grid-template-columns:repeat(2,1fr)}}\n";
  EXPECT_TRUE(CSS.size() >= last.size() && CSS.substr(CSS.size() - last.size()) == last);
  EXPECT_EQ(std::count(CSS.begin(), CSS.end(), '\n'), 40);
  EXPECT_EQ(CSS.find("\n\n"), std::string_view::npos);
  size_t first = CSS.find("border-radius");
  EXPECT_EQ(CSS.substr(first, 25), "border-radius:0!important");
  EXPECT_EQ(CSS.find("border-radius", first + 1), std::string_view::npos);
  for (char c : CSS) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
  for (std::string_view token : {"--bg-primary", "--accent", "--mono"}) {
    EXPECT_NE(CSS.find(std::string(token) + ":"), std::string_view::npos) << token;
    EXPECT_NE(CSS.find("var(" + std::string(token) + ")"), std::string_view::npos) << token;
  }
}

}  // namespace
}  // namespace q9::report
