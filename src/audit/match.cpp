// Matching a dossier's figures against memory: the quantities of the facts and contradictions
// that may match a figure go into one list sorted by value, so that a figure finds the values
// that round to it with a binary search, however many facts the entity has. Tests:
// match_test.cpp.
#include "audit/match.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>

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

// The double nearest to `d` (correctly rounded, so the order of values is kept), infinite
// beyond a double's range.
double _near(const Decimal& d) {
  if (d.is_zero()) return 0;
  // Up to 15 digits and a power of ten a double holds exactly: one multiplication or
  // division, which is correctly rounded (the fast path of strtod itself).
  constexpr double POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (d.digits.size() <= 15 && d.exponent >= -22 && d.exponent <= 22) {
    double m = 0;
    for (char c : d.digits) m = m * 10 + (c - '0');
    const double x = d.exponent >= 0 ? m * POW10[d.exponent] : m / POW10[-d.exponent];
    return d.negative ? -x : x;
  }
  const std::string text = d.digits + "e" + std::to_string(d.exponent);
  const double x = std::strtod(text.c_str(), nullptr);
  return d.negative ? -x : x;
}

// The values that round to `figure` at its precision, and for a figure in parentheses their
// opposites too: [lo, hi] each.
std::vector<std::pair<Decimal, Decimal>> _ranges(const Figure& figure) {
  const Decimal half = make_decimal(false, "5", figure.precision - 1);
  Decimal minus_half = half;
  minus_half.negative = true;
  std::vector<std::pair<Decimal, Decimal>> out{
      {add(figure.value, minus_half), add(figure.value, half)}};
  // Parentheses mark a negative amount in a table, but an aside in prose ("THB 5.44bn
  // (USD 150m)"): either sign is the figure.
  if (figure.parenthesized) {
    Decimal positive = figure.value;
    positive.negative = false;
    out.push_back({add(positive, minus_half), add(positive, half)});
  }
  return out;
}

}  // namespace

Fact::Fact(std::string_view section, std::string_view claim, std::string_view source,
           std::string_view date) {
  text_.reserve(section.size() + claim.size() + source.size() + date.size());
  int i = 0;
  for (std::string_view part : {section, claim, source, date}) {
    at_[i++] = static_cast<uint32_t>(text_.size());
    text_ += part;
  }
  at_[4] = static_cast<uint32_t>(text_.size());
}

void Evidence::expect(const Figure& figure) {
  for (const auto& [lo, hi] : _ranges(figure)) wanted_.emplace_back(_near(lo), _near(hi));
  merged_ = false;
}

bool Evidence::_wanted(double v) {
  if (!merged_) {
    std::sort(wanted_.begin(), wanted_.end());
    size_t n = 0;
    for (const auto& r : wanted_) {
      if (n > 0 && r.first <= wanted_[n - 1].second) {
        wanted_[n - 1].second = std::max(wanted_[n - 1].second, r.second);
      } else {
        wanted_[n++] = r;
      }
    }
    wanted_.resize(n);
    merged_ = true;
  }
  // The last range that starts at or below the value.
  auto it = std::upper_bound(wanted_.begin(), wanted_.end(),
                             std::pair(v, std::numeric_limits<double>::infinity()));
  return it != wanted_.begin() && std::prev(it)->second >= v;
}

void Evidence::add_fact(std::string_view section, std::string_view claim, std::string_view source,
                        std::string_view date) {
  if (source.empty()) return;
  if (_add(claim, static_cast<uint32_t>(facts_.size()), false)) {
    facts_.emplace_back(section, claim, source, date);
  }
}

void Evidence::add_contradiction(std::string_view topic, std::string_view text) {
  if (_add(text, static_cast<uint32_t>(topics_.size()), true)) topics_.emplace_back(topic);
}

bool Evidence::_add(std::string_view text, uint32_t owner, bool contradiction) {
  bool added = false;
  read_figures(text, [&](const Figure& f) {
    if (const double near = _near(f.value); _wanted(near)) {
      entries_.push_back({f.value, near, f.kind, f.currency, owner, contradiction, false});
      added = true;
    }
    // Tables give the scale once, in a heading ("THB millions"): a number shown there without
    // one is the fact's number as written, its scale word left off.
    if (f.scale) {
      Decimal unscaled = f.value;
      unscaled.exponent -= f.scale;
      if (const double near = _near(unscaled); _wanted(near)) {
        entries_.push_back({unscaled, near, f.kind, f.currency, owner, contradiction, true});
        added = true;
      }
    }
  });
  return added;
}

template <typename F>
void Evidence::_within(const Decimal& lo, const Decimal& hi, F&& each) {
  // Rounding to the nearest double keeps order (a <= b gives near(a) <= near(b)), so every
  // value in [lo, hi] is among those whose double lies in [near(lo), near(hi)].
  auto it = std::lower_bound(order_.begin(), order_.end(), std::pair(_near(lo), uint32_t{0}));
  const double top = _near(hi);
  for (; it != order_.end() && it->first <= top; ++it) {
    const Entry& e = entries_[it->second];
    if (compare(e.value, lo) >= 0 && compare(e.value, hi) <= 0) each(e);
  }
}

Verdict Evidence::judge(const Figure& figure, bool current, std::string_view stale_before) {
  if (order_.size() != entries_.size()) {
    order_.clear();
    for (uint32_t i = 0; i < entries_.size(); ++i) order_.emplace_back(entries_[i].near, i);
    std::sort(order_.begin(), order_.end());
  }
  std::vector<uint32_t> verified, unverified;
  const std::string* topic = nullptr;
  for (const auto& [lo, hi] : _ranges(figure)) {
    _within(lo, hi, [&](const Entry& e) {
      if (e.kind != figure.kind || !_same_currency(e.currency, figure.currency)) return;
      if (e.unscaled && figure.scale) return;
      if (e.contradiction) {
        topic = &topics_[e.owner];
      } else {
        (facts_[e.owner].claim().starts_with(UNVERIFIED) ? unverified : verified)
            .push_back(e.owner);
      }
    });
  }
  Verdict v;
  std::vector<uint32_t>& found = verified.empty() ? unverified : verified;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  v.facts = found;
  for (uint32_t i : v.facts) {
    const std::string_view d = facts_[i].date();
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
