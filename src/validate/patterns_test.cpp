// The split scanners against the whole patterns run by PCRE2, over generated and
// mutated documents.
#include "validate/patterns.hpp"

#include <gtest/gtest.h>

#include <random>

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
                                         "1"};

std::string generate(std::mt19937& rng, size_t pieces) {
  std::uniform_int_distribution<size_t> pick(0, PIECES.size() - 1);
  std::string s;
  for (size_t i = 0; i < pieces; ++i) s += PIECES[pick(rng)];
  return s;
}

TEST(Scanners, AgreeWithWholePatterns) {
  const Pattern resource(RESOURCE_SOURCE, true);
  const Pattern csslink(CSSLINK_SOURCE, true);
  const Pattern section_id(SECTION_ID_SOURCE, true);
  const Pattern empty_section(EMPTY_SECTION_SOURCE, true);
  std::mt19937 rng(20261208);
  std::vector<std::string> docs = {
      "<img src=\"https://a\" <img src=\"https://b\">",
      "<section id=\"a\" <section id=\"b\"> </section>",
      "<section id=\"\"><section id=\"x\"></section>",
      "<link\nhref = 'http://x' <link href=\"https://y\">",
  };
  for (int i = 0; i < 4000; ++i) docs.push_back(generate(rng, 5 + i % 60));
  for (int i = 0; i < 4000; ++i) {  // mutations: splice one document into another
    const std::string a = docs[rng() % docs.size()];
    const std::string& b = docs[rng() % docs.size()];
    size_t cut = a.empty() ? 0 : rng() % a.size();
    while (cut > 0 && (static_cast<unsigned char>(a[cut]) & 0xC0) == 0x80) --cut;
    docs.push_back(a.substr(0, cut) + b + a.substr(cut));
  }
  for (const std::string& d : docs) {
    ASSERT_EQ(count_resource_loads(d), resource.count(d)) << d;
    ASSERT_EQ(count_css_links(d), csslink.count(d)) << d;
    ASSERT_EQ(count_sections(d), section_id.count(d)) << d;
    std::vector<std::string> ids;
    for (const auto& m : empty_section.find_all(d)) {
      ids.push_back(d.substr(m.group_start, m.group_end - m.group_start));
    }
    ASSERT_EQ(empty_section_ids(d), ids) << d;
  }
}

}  // namespace
}  // namespace q9::validate
