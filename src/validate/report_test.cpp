#include "validate/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace q9::validate {
namespace {

TEST(Summary, PassingWithWarning) {
  Report r{"out/acme.html",
           true,
           {},
           {"label is not 'Enterprise Research Report' (variant is acceptable)"},
           Stats{.radius_label = "sharp (no rounded corners)",
                 .self_contained = true,
                 .svg = 4,
                 .sections = 19,
                 .kb = 183.4189453125,
                 .lines = 2210}};
  EXPECT_EQ(r.summary(),
            "file          : acme.html (183 KB, 2210 lines)\n"
            "sections      : 19\n"
            "svg tags      : 4\n"
            "self-contained: yes\n"
            "border-radius : sharp (no rounded corners)\n"
            "  WARN  label is not 'Enterprise Research Report' (variant is acceptable)\n"
            "\n"
            "GATE 4 PASSED");
}

TEST(Summary, MissingStats) {
  Report r{"out/acme.html", false, {"no such file: out/acme.html"}, {}, {}};
  EXPECT_EQ(r.summary(),
            "file          : acme.html (0 KB, 0 lines)\n"
            "sections      : 0\n"
            "svg tags      : 0\n"
            "self-contained: NO\n"
            "border-radius : ?\n"
            "\n"
            "GATE 4 FAILED\n"
            "  - no such file: out/acme.html");
}

TEST(Summary, GateFollowsErrorsAndWarningsComeFirst) {
  Report failing{"<memory>", true, {"e1", "e2"}, {"w1"}, std::nullopt};
  EXPECT_EQ(failing.summary().substr(failing.summary().find("self-contained")),
            "self-contained: NO\nborder-radius : ?\n  WARN  w1\n\nGATE 4 FAILED\n  - e1\n  - e2");
  EXPECT_TRUE(failing.summary().starts_with("file          : <memory> (0 KB"));
  Report passing{"x", false, {}, {}, {}};
  const std::string shown = passing.summary();
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 6);
  EXPECT_TRUE(passing.summary().ends_with("\n\nGATE 4 PASSED"));
}

TEST(Summary, KilobytesRoundHalfToEven) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.4, "0"}, {0.5, "0"}, {1.5, "2"}, {2.5, "2"}, {3.5, "4"}, {183.4, "183"}, {2.5000001, "3"}};
  for (const auto& [kb, text] : cases) {
    Report r{"a", true, {}, {}, Stats{.radius_label = "", .kb = kb}};
    EXPECT_EQ(r.summary().substr(0, r.summary().find('\n')),
              "file          : a (" + text + " KB, 0 lines)");
  }
}

TEST(Summary, NamesTheLastComponentOfTheNormalPath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"out/acme.html", "acme.html"},
      {"./out//acme.html/", "acme.html"},
      {"<memory>", "<memory>"},
      {"a/b/", "b"},
      {"/", ""},
      {".", ""},
  };
  for (const auto& [path, name] : cases) {
    Report r{path, true, {}, {}, {}};
    EXPECT_EQ(r.summary().substr(0, r.summary().find(" (")), "file          : " + name) << path;
  }
}

}  // namespace
}  // namespace q9::validate
