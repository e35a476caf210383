// The figure reader on its spellings, and the visible text it reads in a section body.
#include "audit/figures.hpp"

#include <gtest/gtest.h>

#include <string>

#include "audit/visible_text.hpp"

namespace q9::audit {
namespace {

// Each figure as "text = value unit", joined by "; ".
std::string figures(std::string_view text) {
  std::string out;
  read_figures(text, [&](const Figure& f) {
    if (!out.empty()) out += "; ";
    out += std::string(text.substr(f.begin, f.end - f.begin)) + " = " + f.value.text();
    const std::string unit = unit_text(f);
    if (!unit.empty()) out += " " + unit;
  });
  return out;
}

TEST(FiguresTest, Spellings) {
  const struct {
    std::string_view text, expected;
  } rows[] = {
      // Scales, decimals and grouping.
      {"revenue of 5.44bn", "5.44bn = 5440000000"},
      {"THB 5,437.8 million", "THB 5,437.8 million = 5437800000 THB"},
      {"391m and 2 bn and 3 B", "391m = 391000000; 2 bn = 2000000000"},
      {"1.2 trillion, 7k, 4tn", "1.2 trillion = 1200000000000; 7k = 7000; 4tn = 4000000000000"},
      {"5,437.8 ล้านบาท; 5.44 พันล้าน", "5,437.8 ล้านบาท = 5437800000 THB; 5.44 พันล้าน = 5440000000"},
      {"71,000 pallets, 2,310 staff", "71,000 = 71000; 2,310 = 2310"},
      {"1\u202F234\u00A0567 and 1\u2009000", "1\u202F234\u00A0567 = 1234567; 1\u2009000 = 1000"},
      {"12 500 units", "500 = 500"},
      {"0.05 and 150 and 007", "0.05 = 0.05; 150 = 150"},
      // Currencies before and after.
      {"$5m US$ 6m €7m £8m ¥9m ฿10m",
       "$5m = 5000000 $; US$ 6m = 6000000 USD; €7m = 7000000 EUR; "
       "£8m = 8000000 GBP; ¥9m = 9000000 ¥; ฿10m = 10000000 THB"},
      {"HK$120m, A$ 3bn, USD5m, 150 EUR",
       "HK$120m = 120000000 HKD; A$ 3bn = 3000000000 AUD; "
       "USD5m = 5000000 USD; 150 EUR = 150 EUR"},
      {"2024 EUR 5m", "EUR 5m = 5000000 EUR"},
      {"XYZ 150 and TOP 150", "150 = 150; 150 = 150"},
      // Percentages and points.
      {"22.9% and 22.9 % and 5 per cent and 7 percent",
       "22.9% = 22.9 %; 22.9 % = 22.9 %; "
       "5 per cent = 5 %; 7 percent = 7 %"},
      {"up 1.5pp, 2 pp, 3 percentage points",
       "1.5pp = 1.5 pp; 2 pp = 2 pp; 3 percentage points = 3 pp"},
      {"5 percentage of", ""},
      // Signs, negatives and ranges.
      {"-2.1% +13.7% −4.5% –6.5%",
       "-2.1% = -2.1 %; +13.7% = 13.7 %; −4.5% = -4.5 %; –6.5% = -6.5 %"},
      {"(1,234) and -$5m and $-6m", "(1,234) = -1234; -$5m = -5000000 $; $-6m = -6000000 $"},
      {"(USD 150m) and (see 120", "(USD 150m) = -150000000 USD; 120 = 120"},
      {"12–15%", "12–15% = 12 %; 12–15% = 15 %"},
      {"$5–6bn and 1,200-1,500 and 3 – 4 million",
       "$5–6bn = 5000000000 $; $5–6bn = 6000000000 $; "
       "1,200-1,500 = 1200; 1,200-1,500 = 1500; "
       "3 – 4 million = 3000000; 3 – 4 million = 4000000"},
      {"5bn–6m", "5bn–6m = 5000000000; 5bn–6m = 6000000"},
      // Not figures: years and dates, codes, words, small bare integers, citations.
      {"in 2024, FY2024, Q3 2025, 2014–2025, 1999", ""},
      {"on 2026-03-14, 2024-05 and 14/03/2026 at 09:30", ""},
      {"A320neo, ISO 9001:2015, COVID-19, v1.2.3, 10.0.0.1, 5G, 3rd, 10km, 12months", ""},
      {"5 sites, 49 staff, -18 °C, 0–4 °C", ""},
      {"margin[1] rose[12][3, 4][5–7]", ""},
      {"2.1x, 3.5× covenant, 10x", "2.1x = 2.1; 3.5× = 3.5"},
      {"5,000m² site", ""},
      {"1,2345 and 12,34,567", ""},
      {"2,024 and 2050% and 2024m", "2,024 = 2024; 2050% = 2050 %; 2024m = 2024000000"},
      // Units after a space, a currency after the figure, and where none attaches.
      {"5.44 bn THB, 100 €, 7,000 ล้าน บาท",
       "5.44 bn THB = 5440000000 THB; 100 € = 100 EUR; "
       "7,000 ล้าน บาท = 7000000000 THB"},
      {"(12.5%) and (USD 1.2bn and 3 per cent.",
       "(12.5%) = -12.5 %; USD 1.2bn = 1200000000 USD; "
       "3 per cent = 3 %"},
      {"5 millionaires, 7 bnx, 9 tonnes of 12 months", ""},
      {"ราคา100 บาท and ราคา 150 บาท", "150 บาท = 150 THB"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(figures(row.text), row.expected) << "text: " << row.text;
  }
}

// A reading that moves backwards or skips nothing would take quadratic time or loop here.
TEST(FiguresTest, HostileInputEndsAndReadsEveryNumber) {
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "1,234.5% ";
  size_t count = 0;
  read_figures(many, [&](const Figure&) { ++count; });
  EXPECT_EQ(count, 20000u);
  for (std::string_view unit : {"-", "[", ",", "$", "(", "–", ".", "\xE0"}) {
    std::string s;
    for (int i = 0; i < 20000; ++i) s += std::string("9") + std::string(unit);
    read_figures(s, [](const Figure&) {});
  }
}

TEST(VisibleTextTest, Html) {
  const struct {
    std::string_view html, expected;
  } rows[] = {
      {"<p>Revenue <b>5.44</b>bn</p>", "Revenue 5.44bn"},
      {"<table><tr><td>3,412</td><td>3,880</td></tr></table>", "3,412\n3,880"},
      {"<td>THB</td> <td>5,436</td>", "THB\n5,436"},
      {"a <span title=\"9,999 > 1\" data-x='<p>7,777</p>'>b</span> c", "a b c"},
      {"x<!-- 1,234 -->y<script>var a = '<p>5,555</p>';</script><style>p{}</style>z", "xy\nz"},
      {"<!DOCTYPE html><?xml ?>1&nbsp;234 &amp; &#8239;&#x2009;&percnt;&euro;&bogus; &ampx &lt3",
       "1\u00A0234 & \u202F\u2009%\u20AC&bogus; &x <3"},
      {"&#0;&#x110000;&#128;&#xD800;&#65", "\uFFFD\uFFFD\u20AC\uFFFDA"},
      {"a < b, 3 <4, </ x> c </>d", "a < b, 3 <4, c d"},
      {"  lots \n\t of   space  ", "lots of space"},
      {"<p>unclosed <a href=\"", "unclosed"},
      {"<TD>1</TD><Td>2</tD><SCRIPT>3</script >4<template><p>5</p></template>6", "1\n2\n4\n6"},
      {"&copy2024 &eacute;t&eacute; &frac12 &NotAName; &#x;&#;", "©2024 été ½ &NotAName; &#x;&#;"},
      {"a<!-->b<!--->c<!-- x --!>d<!-- never closed", "abcd"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(visible_text(row.html), row.expected) << "html: " << row.html;
  }
}

}  // namespace
}  // namespace q9::audit
