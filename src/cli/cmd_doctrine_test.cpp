// q9 version, q9 doctrine and q9 streams through run(): the exact bytes printed.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/commands.hpp"
#include "q9/version.hpp"

namespace q9::cli {
namespace {

struct Output {
  int status;
  std::string out, err;
};

Output q9(const std::vector<std::string>& argv) {
  std::ostringstream out, err;
  Io io{out, err};
  int status = run(argv, io);
  return {status, out.str(), err.str()};
}

const char* const kTiers = R"j({
    "A": "Registry, exchange filing, audited report, court/regulator record",
    "B": "Company IR page, reputable wire/financial press, named executive statement",
    "C": "Trade press, aggregator, app-store listing, LinkedIn self-reported",
    "D": "Social, forums, unattributed blogs, AI summaries (leads only, never sole basis)"
  })j";

const char* const kQualityBar = R"j({
    "triangulation": "Any material claim (number, owner, date, percentage) needs two independent sources or is labelled UNVERIFIED.",
    "entity_resolution": "Prove the correct entity before research: legal name, registry id, country, parent, plus two matching attributes.",
    "recency": "Prefer the newest source. Label every figure with its as-of date. Never present stale as current.",
    "contradiction": "Record both values with sources; state which the report uses and why. Never silently pick one.",
    "confidence": "Rate HIGH / MEDIUM / LOW with one line of reasoning. HIGH = every material claim has 2+ independent A/B sources.",
    "negative_findings": "A searched-and-found-nothing result is a finding. Log it.",
    "charts": "Never use SVG for ownership or org charts \u2014 CSS Grid only. SVG is for logo and country flag only."
  })j";

TEST(DoctrineCommandTest, VersionLine) {
  Output r = q9({"version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "q9infra " + std::string(q9::VERSION) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(DoctrineCommandTest, DoctrineDocument) {
  Output r = q9({"doctrine"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, std::string("{\n  \"tiers\": ") + kTiers +
                       ",\n  \"quality_bar\": " + kQualityBar + R"j(,
  "section_order": [
    "cover",
    "overview",
    "history",
    "ownership",
    "governance",
    "organization",
    "products",
    "technology",
    "clients",
    "financials",
    "market",
    "competitors",
    "regulatory",
    "screening",
    "culture",
    "sentiment",
    "risk",
    "methodology",
    "swot"
  ],
  "sources": {
    "listed": [
      "SET filings (www.set.or.th)",
      "Annual reports (www.annualreports.com, company IR)",
      "TheOrg (via Jina Reader)",
      "Google Finance",
      "Fitch Ratings"
    ],
    "private": [
      "Parent-company ONE Reports",
      "LinkedIn executive profiles",
      "Thai DBD registry",
      "Job postings (org structure + tech stack)",
      "App Store / Google Play"
    ],
    "screen": [
      "OFAC SDN",
      "UN Consolidated",
      "UK Sanctions List",
      "EU Consolidated",
      "ICIJ Offshore Leaks"
    ]
  }
}
)j");
  EXPECT_EQ(q9({"doctrine"}).out, r.out);  // the same bytes every time
}

TEST(DoctrineCommandTest, StreamsListWithoutANameOrWithAnEmptyOne) {
  const std::string list = R"j([
  "Financials & Corporate Structure",
  "Leadership & Board",
  "Products & Technology",
  "Market & Competitors",
  "Regulatory & Compliance",
  "News, Sentiment & ESG"
]
)j";
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{"streams"}, {"streams", ""}}) {
    Output r = q9(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, list);
  }
}

TEST(DoctrineCommandTest, StreamBriefKeepsTheNameAsTyped) {
  struct Case {
    std::string name;
    std::string json_name;  // as written in the ASCII form
  } cases[] = {
      {"Leadership & Board", "Leadership & Board"},
      {" leadership & board ", " leadership & board "},
      {"Caf\xc3\xa9 \"x\" \xf0\x9f\x98\x80", "Caf\\u00e9 \\\"x\\\" \\ud83d\\ude00"},
      // Bytes that are not UTF-8 come out as \udcXX, one per byte.
      {"a\xff\xe2\x82", "a\\udcff\\udce2\\udc82"},
  };
  for (const Case& c : cases) {
    Output r = q9({"streams", c.name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out,
        "{\n  \"stream\": \"" + c.json_name + "\",\n  \"doctrine\": " + kQualityBar +
            ",\n  \"tiers\": " + kTiers + ",\n  \"instructions\": [\n    \"Research ONLY the '" +
            c.json_name +
            "' topic for the target company.\",\n"
            R"j(    "Use 2-5 targeted searches. Return every fact with (source, YYYY-MM-DD) and a tier letter.",
    "Never invent a date or a number. Write 'not verified' instead.",
    "List any contradictions and any searches that found nothing."
  ]
}
)j") << c.name;
  }
}

}  // namespace
}  // namespace q9::cli
