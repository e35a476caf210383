// The doctrine tables and brief(); test: doctrine_test.cpp.
#include "doctrine/doctrine.hpp"

#include <string>

namespace q9::doctrine {

using json::Array;
using json::Object;
using json::Value;

namespace {

const Value& _source_tiers() {
  static const Value table = Object{
      {"A", "Registry, exchange filing, audited report, court/regulator record"},
      {"B", "Company IR page, reputable wire/financial press, named executive statement"},
      {"C", "Trade press, aggregator, app-store listing, LinkedIn self-reported"},
      {"D", "Social, forums, unattributed blogs, AI summaries (leads only, never sole basis)"},
  };
  return table;
}

const Value& _quality_bar() {
  static const Value table = Object{
      {"triangulation",
       "Any material claim (number, owner, date, percentage) needs two independent sources or "
       "is labelled UNVERIFIED."},
      {"entity_resolution",
       "Prove the correct entity before research: legal name, registry id, country, parent, "
       "plus two matching attributes."},
      {"recency",
       "Prefer the newest source. Label every figure with its as-of date. Never present stale "
       "as current."},
      {"contradiction",
       "Record both values with sources; state which the report uses and why. Never silently "
       "pick one."},
      {"confidence",
       "Rate HIGH / MEDIUM / LOW with one line of reasoning. HIGH = every material claim has 2+ "
       "independent A/B sources."},
      {"negative_findings", "A searched-and-found-nothing result is a finding. Log it."},
      {"charts",
       "Never use SVG for ownership or org charts \u2014 CSS Grid only. SVG is for logo and "
       "country flag only."},
  };
  return table;
}

const Value& _section_order() {
  static const Value table = Array{
      "cover",        "overview",    "history",     "ownership", "governance",
      "organization", "products",    "technology",  "clients",   "financials",
      "market",       "competitors", "regulatory",  "screening", "culture",
      "sentiment",    "risk",        "methodology", "swot",
  };
  return table;
}

const Value& _research_streams() {
  static const Value table = Array{
      "Financials & Corporate Structure",
      "Leadership & Board",
      "Products & Technology",
      "Market & Competitors",
      "Regulatory & Compliance",
      "News, Sentiment & ESG",
  };
  return table;
}

const Value& _sources() {
  static const Value table = Object{
      {"listed",
       Array{"SET filings (www.set.or.th)", "Annual reports (www.annualreports.com, company IR)",
             "TheOrg (via Jina Reader)", "Google Finance", "Fitch Ratings"}},
      {"private",
       Array{"Parent-company ONE Reports", "LinkedIn executive profiles", "Thai DBD registry",
             "Job postings (org structure + tech stack)", "App Store / Google Play"}},
      {"screen", Array{"OFAC SDN", "UN Consolidated", "UK Sanctions List", "EU Consolidated",
                       "ICIJ Offshore Leaks"}},
  };
  return table;
}

}  // namespace

constinit const Table SOURCE_TIERS{_source_tiers};
constinit const Table QUALITY_BAR{_quality_bar};
constinit const Table SECTION_ORDER{_section_order};
constinit const Table RESEARCH_STREAMS{_research_streams};
constinit const Table SOURCES{_sources};

Value brief(std::string_view stream) {
  return Object{
      {"stream", stream},
      {"doctrine", QUALITY_BAR},
      {"tiers", SOURCE_TIERS},
      {"instructions",
       Array{"Research ONLY the '" + std::string(stream) + "' topic for the target company.",
             "Use 2-5 targeted searches. Return every fact with (source, YYYY-MM-DD) and a "
             "tier letter.",
             "Never invent a date or a number. Write 'not verified' instead.",
             "List any contradictions and any searches that found nothing."}},
  };
}

}  // namespace q9::doctrine
