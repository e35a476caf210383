// What the commands' byte-exact output (cmd_doctrine_test.cpp) cannot show of brief(): a
// brief for any name, the empty one too, and its sharing of the module's tables.
#include "doctrine/doctrine.hpp"

#include <gtest/gtest.h>

namespace q9::doctrine {
namespace {

TEST(DoctrineTest, BriefTakesAnyNameAndSharesTheTables) {
  const json::Value b = brief("");
  EXPECT_EQ(b.as_object().find("stream")->as_string(), "");
  EXPECT_EQ(b.as_object().find("instructions")->as_array().front().as_string(),
            "Research ONLY the '' topic for the target company.");
  EXPECT_EQ(&b.as_object().find("doctrine")->as_object(), &QUALITY_BAR.as_object());
  EXPECT_EQ(&b.as_object().find("tiers")->as_object(), &SOURCE_TIERS.as_object());
}

}  // namespace
}  // namespace q9::doctrine
