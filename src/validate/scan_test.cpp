// The one-pass scanner against the whole patterns run by PCRE2, over generated and
// mutated documents.
#include "validate/scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/utf8.hpp"
#include "validate/patterns.hpp"
#include "validate/whole_patterns.hpp"

namespace q9::validate {
namespace {

const std::vector<std::string> PIECES = {"<img",
                                         "<IMG",
                                         "<script",
                                         "<link",
                                         "<linkx",
                                         "<imgé",
                                         "<source",
                                         "<object",
                                         " ",
                                         "\n",
                                         "\u00a0",
                                         "\u001c",
                                         "\u2003",
                                         "src",
                                         "SRC",
                                         "data-src",
                                         "href",
                                         "=",
                                         "\"",
                                         "'",
                                         "http://",
                                         "https://",
                                         "HTTPS://",
                                         ">",
                                         "<",
                                         "a",
                                         "é",
                                         "<section id=\"",
                                         "<SECTION ID=\"",
                                         "</section>",
                                         "</SECTION>",
                                         "risk",
                                         "\u017fection",
                                         "<\u017fection id=\"",
                                         "<svg",
                                         "<svgé",
                                         "\u212a",
                                         "s\u017frc",
                                         "/",
                                         "_",
                                         "1",
                                         "border-radius",
                                         "BORDER-RADIU\u017f",
                                         "-radius",
                                         ":",
                                         ";",
                                         "}",
                                         "\U0001F389",
                                         "\u2605",
                                         "\u2614",
                                         "\U0001FAFF",
                                         "\U0001FB00",
                                         "\r",
                                         "\r\n",
                                         "\u0085",
                                         "\u2028",
                                         "\u000b",
                                         "<lin\u212a",
                                         "<iframe",
                                         "<audio",
                                         "<VIDEO",
                                         "<embed",
                                         "<svg ",
                                         "<\u017fvg"};

std::string generate(std::mt19937& rng, size_t pieces) {
  std::uniform_int_distribution<size_t> pick(0, PIECES.size() - 1);
  std::string s;
  for (size_t i = 0; i < pieces; ++i) s += PIECES[pick(rng)];
  return s;
}

TEST(Scan, AgreesWithWholePatterns) {
  const Pattern radius(RADIUS_SOURCE, true);
  const Pattern emoji(EMOJI_SOURCE, false);
  const Pattern resource(RESOURCE_SOURCE, true);
  const Pattern csslink(CSSLINK_SOURCE, true);
  const Pattern svg(SVG_TAG_SOURCE, true);
  const Pattern section_id(SECTION_ID_SOURCE, true);
  const Pattern empty_section(EMPTY_SECTION_SOURCE, true);
  const Pattern line_end(LINE_END_SOURCE, false);
  std::mt19937 rng(20261208);
  std::vector<std::string> docs = {
      "<img src=\"https://a\" <img src=\"https://b\">",
      "<section id=\"a\" <section id=\"b\"> </section>",
      "<section id=\"\"><section id=\"x\"></section>",
      "<link\nhref = 'http://x' <link href=\"https://y\">",
      "<section id=\"<section id=\"x\"></section><section id=\"y\"> </section>",
      "border-radius:  ",
      "border-radius : \u2003;border-radius:;border-radius:x border-radius:y}",
      "a\r\n\rb\u2029",
  };
  for (int i = 0; i < 4000; ++i) docs.push_back(generate(rng, 5 + i % 60));
  for (int i = 0; i < 4000; ++i) {  // mutations: splice one document into another
    const std::string a = docs[rng() % docs.size()];
    const std::string& b = docs[rng() % docs.size()];
    size_t cut = a.empty() ? 0 : rng() % a.size();
    while (cut > 0 && (static_cast<unsigned char>(a[cut]) & 0xC0) == 0x80) --cut;
    docs.push_back(a.substr(0, cut) + b + a.substr(cut));
  }
  auto groups = [](const std::string& d, const Pattern& p) {
    std::vector<std::string_view> out;
    for (const auto& m : p.find_all(d)) {
      out.push_back(std::string_view(d).substr(m.group_start, m.group_end - m.group_start));
    }
    return out;
  };
  for (const std::string& d : docs) {
    const Scan s = scan(d);
    ASSERT_EQ(s.radius, groups(d, radius)) << d;
    std::vector<char32_t> marks;
    for (const auto& m : emoji.find_all(d)) {
      size_t at = m.start;
      const char32_t cp = utf8::decode(d, at);
      if (cp != 0x2605 && cp != 0x2606) marks.push_back(cp);
    }
    std::sort(marks.begin(), marks.end());
    marks.erase(std::unique(marks.begin(), marks.end()), marks.end());
    ASSERT_EQ(s.emoji, marks) << d;
    ASSERT_EQ(s.resource_loads, resource.count(d)) << d;
    ASSERT_EQ(s.css_links, csslink.count(d)) << d;
    ASSERT_EQ(s.svg_tags, svg.count(d)) << d;
    ASSERT_EQ(s.sections, section_id.count(d)) << d;
    ASSERT_EQ(s.empty_sections, groups(d, empty_section)) << d;
    const auto ends = line_end.find_all(d);
    ASSERT_EQ(s.lines, ends.size() + (ends.empty() || ends.back().end < d.size() ? !d.empty() : 0))
        << d;
  }
}

// The white space around the radius name's colon is the shared set, in the scanner and
// in the pattern alike.
TEST(Scan, WhiteSpaceIsTheSharedSet) {
  const Pattern radius(RADIUS_SOURCE, true);
  for (char32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp == ':' || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
    std::string doc = "border-radius";
    utf8::append(doc, cp);
    doc += ":4px";
    const size_t expected = utf8::is_space(cp) ? 1 : 0;
    ASSERT_EQ(scan(doc).radius.size(), expected) << std::hex << static_cast<unsigned>(cp);
    ASSERT_EQ(radius.count(doc), expected) << std::hex << static_cast<unsigned>(cp);
  }
}

TEST(Scan, CandidateMaskMatchesBytewiseForEveryByteInEveryLane) {
  for (int shift = 0; shift < 256; ++shift) {
    unsigned char block[64];
    for (int k = 0; k < 64; ++k) block[k] = static_cast<unsigned char>(shift + k);
    ASSERT_EQ(candidate_mask(block), candidate_mask_bytewise(block)) << shift;
  }
}

}  // namespace
}  // namespace q9::validate
