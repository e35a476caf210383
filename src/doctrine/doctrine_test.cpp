// The doctrine tables and brief(): shapes, the literal texts that are easy to get
// wrong, and the brief's sharing of the module's tables.
#include "doctrine/doctrine.hpp"

#include <gtest/gtest.h>

namespace q9::doctrine {
namespace {

std::vector<std::string> keys(const json::Value& v) {
  std::vector<std::string> out;
  for (const auto& [k, _] : v.as_object()) out.push_back(k);
  return out;
}

TEST(DoctrineTest, TablesHaveTheirShapeAndOrder) {
  EXPECT_EQ(keys(SOURCE_TIERS), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(keys(QUALITY_BAR), (std::vector<std::string>{"triangulation", "entity_resolution",
                                                         "recency", "contradiction", "confidence",
                                                         "negative_findings", "charts"}));
  const json::Array& order = SECTION_ORDER.as_array();
  ASSERT_EQ(order.size(), 19u);
  EXPECT_EQ(order.front().as_string(), "cover");
  EXPECT_EQ(order[9].as_string(), "financials");
  EXPECT_EQ(order.back().as_string(), "swot");
  EXPECT_EQ(RESEARCH_STREAMS.as_array().size(), 6u);
  EXPECT_EQ(keys(SOURCES), (std::vector<std::string>{"listed", "private", "screen"}));
  for (const auto& [kind, list] : SOURCES.as_object()) {
    EXPECT_EQ(list.as_array().size(), 5u) << kind;
  }
  EXPECT_EQ(QUALITY_BAR.as_object().find("charts")->as_string(),
            "Never use SVG for ownership or org charts \xe2\x80\x94 CSS Grid only. SVG is for "
            "logo and country flag only.");
  const json::Array& listed = SOURCES.as_object().find("listed")->as_array();
  EXPECT_TRUE(listed[0].as_string().starts_with("SET filings ("));
  EXPECT_TRUE(listed[1].as_string().ends_with(", company IR)"));
}

TEST(DoctrineTest, BriefForAnyNameIsComplete) {
  struct Case {
    std::string stream;
    std::string first;
  } cases[] = {
      {"Leadership & Board",
       "Research ONLY the 'Leadership & Board' topic for the target company."},
      {"", "Research ONLY the '' topic for the target company."},
      {" it's \"odd\" ", "Research ONLY the ' it's \"odd\" ' topic for the target company."},
  };
  for (const Case& c : cases) {
    const json::Value b = brief(c.stream);
    EXPECT_EQ(keys(b), (std::vector<std::string>{"stream", "doctrine", "tiers", "instructions"}))
        << c.stream;
    EXPECT_EQ(b.as_object().find("stream")->as_string(), c.stream);
    const json::Array& steps = b.as_object().find("instructions")->as_array();
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].as_string(), c.first);
    EXPECT_EQ(steps[3].as_string(), "List any contradictions and any searches that found nothing.");
    // The brief carries the tables themselves.
    EXPECT_EQ(&b.as_object().find("doctrine")->as_object(), &QUALITY_BAR.as_object());
    EXPECT_EQ(&b.as_object().find("tiers")->as_object(), &SOURCE_TIERS.as_object());
  }
}

}  // namespace
}  // namespace q9::doctrine
