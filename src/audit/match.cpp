// Matching a dossier's figures against memory: every quantity of every fact and
// contradiction goes into one list sorted by value, so that a figure finds the values that
// round to it with a binary search, however many facts the entity has. Tests: match_test.cpp.
#include "audit/match.hpp"

#include <algorithm>
#include <cstdio>

namespace q9::audit {
namespace {

bool _dollar(std::string_view c) {
  constexpr std::string_view DOLLARS[] = {"USD", "AUD", "CAD", "SGD", "HKD", "NZD", "TWD", "BBD",
                                          "BMD", "BND", "BSD", "BZD", "FJD", "GYD", "JMD", "KYD",
                                          "LRD", "NAD", "SBD", "SRD", "TTD", "XCD"};
  return c == "$" || std::find(std::begin(DOLLARS), std::end(DOLLARS), c) != std::end(DOLLARS);
}
bool _yen(std::string_view c) { return c == "¥" || c == "JPY" || c == "CNY"; }

// Where both name a currency, the same one; "$" and "¥" stand for any of theirs.
bool _same_currency(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty() || a == b) return true;
  if (a == "$" || b == "$") return _dollar(a) && _dollar(b);
  if (a == "¥" || b == "¥") return _yen(a) && _yen(b);
  return false;
}

bool _is_date(std::string_view d) {
  if (d.size() != 10 || d[4] != '-' || d[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (d[i] < '0' || d[i] > '9') return false;
  }
  return true;
}

}  // namespace

void Evidence::add_fact(Fact fact) {
  if (fact.source.empty()) return;
  facts_.push_back(std::move(fact));
  _add(facts_.back().claim, static_cast<uint32_t>(facts_.size() - 1), false);
}

void Evidence::add_contradiction(std::string_view topic, std::string_view text) {
  topics_.emplace_back(topic);
  _add(text, static_cast<uint32_t>(topics_.size() - 1), true);
}

void Evidence::_add(std::string_view text, uint32_t owner, bool contradiction) {
  read_figures(text, [&](const Figure& f) {
    entries_.push_back({f.value, f.kind, f.currency, owner, contradiction, false});
    // Tables give the scale once, in a heading ("THB millions"): a number shown there without
    // one is the fact's number as written, its scale word left off.
    if (f.scale) {
      Decimal unscaled = f.value;
      unscaled.exponent -= f.scale;
      entries_.push_back({unscaled, f.kind, f.currency, owner, contradiction, true});
    }
  });
  sorted_ = false;
}

template <typename F>
void Evidence::_within(const Decimal& lo, const Decimal& hi, F&& each) {
  auto it =
      std::lower_bound(entries_.begin(), entries_.end(), lo,
                       [](const Entry& e, const Decimal& v) { return compare(e.value, v) < 0; });
  for (; it != entries_.end() && compare(it->value, hi) <= 0; ++it) each(*it);
}

Verdict Evidence::judge(const Figure& figure, bool current, std::string_view stale_before) {
  if (!sorted_) {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return compare(a.value, b.value) < 0; });
    sorted_ = true;
  }
  const Decimal half = make_decimal(false, "5", figure.precision - 1);
  Decimal minus_half = half;
  minus_half.negative = true;
  std::vector<uint32_t> verified, unverified;
  const std::string* topic = nullptr;
  auto look = [&](const Decimal& value) {
    _within(add(value, minus_half), add(value, half), [&](const Entry& e) {
      if (e.kind != figure.kind || !_same_currency(e.currency, figure.currency)) return;
      if (e.unscaled && figure.scale) return;
      if (e.contradiction) {
        topic = &topics_[e.owner];
      } else {
        (facts_[e.owner].claim.starts_with(UNVERIFIED) ? unverified : verified).push_back(e.owner);
      }
    });
  };
  look(figure.value);
  // Parentheses mark a negative amount in a table, but an aside in prose ("THB 5.44bn
  // (USD 150m)"): either sign is the figure.
  if (figure.parenthesized) {
    Decimal positive = figure.value;
    positive.negative = false;
    look(positive);
  }
  Verdict v;
  std::vector<uint32_t>& found = verified.empty() ? unverified : verified;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  v.facts = found;
  for (uint32_t i : v.facts) {
    const std::string& d = facts_[i].date;
    if (_is_date(d) && d > v.newest) v.newest = d;
  }
  if (verified.empty()) {
    v.status = unverified.empty() ? Status::Unsourced : Status::Unverified;
  } else if (topic) {
    v.status = Status::Contradicted;
    v.topic = *topic;
  } else if (current && !stale_before.empty() && !v.newest.empty() && v.newest < stale_before) {
    v.status = Status::Stale;
  } else {
    v.status = Status::Sourced;
  }
  return v;
}

std::string stale_before(std::string_view generated) {
  if (generated.size() < 10 || !_is_date(generated.substr(0, 10))) return "";
  const int y = std::stoi(std::string(generated.substr(0, 4)));
  const int m = std::stoi(std::string(generated.substr(5, 2)));
  const int d = std::stoi(std::string(generated.substr(8, 2)));
  if (m < 1 || m > 12 || d < 1 || d > 31) return "";
  const int months = y * 12 + (m - 1) - 18;
  const int y2 = months / 12, m2 = months % 12 + 1;
  constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y2 % 4 == 0 && y2 % 100 != 0) || y2 % 400 == 0;
  const int last = m2 == 2 && leap ? 29 : DAYS[m2 - 1];
  char out[40];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d", y2, m2, std::min(d, last));
  return out;
}

}  // namespace q9::audit
