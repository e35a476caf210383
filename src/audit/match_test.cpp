// Matching figures to facts: rounding, kinds, currencies, and each status.
#include "audit/match.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace q9::audit {
namespace {

struct Row {
  std::string_view shown;                // the dossier's text; its first figure is judged
  std::vector<std::string_view> claims;  // facts, sourced, dated `date`
  std::string_view expected;             // the status word
  std::vector<std::string_view> contradictions = {};
  bool current = false;
  std::string_view date = "2025-12-31";
  std::string_view source = "annual report";
};

std::string judged(const Row& row) {
  std::vector<Figure> shown;
  read_figures(row.shown, [&](const Figure& f) { shown.push_back(f); });
  if (shown.empty()) return "no figure";
  Evidence evidence;
  evidence.expect(shown[0]);
  for (std::string_view claim : row.claims) {
    evidence.add_fact("financials", claim, row.source, row.date);
  }
  for (std::string_view text : row.contradictions) evidence.add_contradiction("revenue", text);
  return std::string(
      status_word(evidence.judge(shown[0], row.current, stale_before("2026-03-14")).status));
}

TEST(MatchTest, Statuses) {
  const Row rows[] = {
      // Rounding at the precision shown, in decimal; a value exactly halfway rounds either way.
      {"5.44bn", {"revenue THB 5,437.8 million"}, "sourced"},
      {"5.44bn", {"revenue 5.4349bn"}, "unsourced"},
      {"5.44bn", {"revenue 5.435bn"}, "sourced"},
      {"5.44bn", {"revenue 5.445bn"}, "sourced"},
      {"5.44bn", {"revenue 5.4451bn"}, "unsourced"},
      {"22.9%", {"EBITDA margin 22.88%"}, "sourced"},
      {"22.9%", {"EBITDA margin 22.96%"}, "unsourced"},
      {"391m", {"net profit 390.5 million"}, "sourced"},
      {"391m", {"net profit 390.49 million"}, "unsourced"},
      {"5bn", {"revenue 4.6bn"}, "sourced"},
      {"5.437bn", {"revenue 5.44bn"}, "unsourced"},
      {"71,000", {"71,000 pallet positions"}, "sourced"},
      {"71,000", {"70,990 pallet positions"}, "unsourced"},
      {"0.05%", {"churn 0.045%"}, "sourced"},
      {"-2.1%", {"growth -2.05%"}, "sourced"},
      {"-2.1%", {"growth 2.1%"}, "unsourced"},
      {"(150m)", {"USD 150 million"}, "sourced"},
      {"(150m)", {"a loss of -150m"}, "sourced"},
      // A table's cells leave the scale to the heading; the other way round does not hold.
      {"5,436", {"revenue THB 5,436 million"}, "sourced"},
      {"5,436m", {"revenue 5,436"}, "unsourced"},
      // Kinds: a percentage only with a percentage, points only with points.
      {"22.9%", {"EBITDA 22.9 million"}, "unsourced"},
      {"12.5", {"margin 12.5%"}, "unsourced"},
      {"1.5pp", {"up 1.5%"}, "unsourced"},
      {"1.5pp", {"up 1.5 percentage points"}, "sourced"},
      // Currencies, where both give one.
      {"USD 150m", {"THB 150m"}, "unsourced"},
      {"$150m", {"USD 150m"}, "sourced"},
      {"$150m", {"HK$150m"}, "sourced"},
      {"$150m", {"EUR 150m"}, "unsourced"},
      {"US$150m", {"$150m"}, "sourced"},
      {"150m", {"EUR 150m"}, "sourced"},
      {"€150m", {"150 million"}, "sourced"},
      {"¥150m", {"CNY 150m"}, "sourced"},
      {"¥150m", {"USD 150m"}, "unsourced"},
      // Unverified, unsourced without a source, contradicted, stale.
      {"391m", {"UNVERIFIED: net profit 391m"}, "unverified"},
      {"391m", {"UNVERIFIED: net profit 391m", "net profit 391m"}, "sourced"},
      {"391m", {"net profit 391m"}, "unsourced", {}, false, "2025-12-31", ""},
      {"5.44bn", {"revenue 5.44bn"}, "contradicted", {"5,437.8m (AR) vs 5.1bn (press)"}},
      {"5.44bn", {"revenue 5.44bn"}, "sourced", {"5.3bn (AR) vs 5.1bn (press)"}},
      {"5.44bn", {"UNVERIFIED: revenue 5.44bn"}, "unverified", {"5.44bn vs 5.1bn"}},
      {"5.44bn", {"revenue 5.44bn"}, "stale", {}, true, "2024-09-13"},
      {"5.44bn", {"revenue 5.44bn"}, "sourced", {}, true, "2024-09-14"},
      {"5.44bn", {"revenue 5.44bn"}, "sourced", {}, false, "2020-01-01"},
      {"5.44bn", {"revenue 5.44bn"}, "contradicted", {"5.44bn vs 5.1bn"}, true, "2020-01-01"},
      {"5.44bn", {"revenue 5.44bn", "revenue 5.44bn"}, "sourced", {}, true, "undated"},
  };
  for (const Row& row : rows) {
    std::string claims;
    for (std::string_view c : row.claims) claims += std::string(c) + "; ";
    EXPECT_EQ(judged(row), row.expected) << row.shown << " against " << claims;
  }
}

TEST(MatchTest, StaleBefore) {
  EXPECT_EQ(stale_before("2026-03-14"), "2024-09-14");
  EXPECT_EQ(stale_before("2025-08-31T10:00:00Z"), "2024-02-29");
  EXPECT_EQ(stale_before("2026-01-31"), "2024-07-31");
  EXPECT_EQ(stale_before("2026"), "");
  EXPECT_EQ(stale_before("March 2026"), "");
}

TEST(MatchTest, DecimalArithmeticIsExact) {
  const Decimal a = make_decimal(false, "12345678901234567890123", -20);
  const Decimal b = make_decimal(true, "5", -21);
  EXPECT_EQ(add(a, b).text(), "123.456789012345678901225");
  EXPECT_EQ(add(b, a).text(), "123.456789012345678901225");
  EXPECT_EQ(add(a, make_decimal(true, "12345678901234567890123", -20)).text(), "0");
  EXPECT_LT(compare(make_decimal(false, "5437", 0), make_decimal(false, "54378", -1)), 0);
  EXPECT_GT(compare(make_decimal(true, "5437", 0), make_decimal(true, "54378", -1)), 0);
  EXPECT_EQ(make_decimal(false, "0054000", -2), make_decimal(false, "54", 1));
}

}  // namespace
}  // namespace q9::audit
