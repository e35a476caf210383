// What memory says of a figure: the entity's sourced facts and contradictions, indexed by the
// quantities they state, and the status each figure of a dossier gets from them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audit/figures.hpp"

namespace q9::audit {

// A fact as the store keeps it: its four texts held in one string, as thousands are kept.
class Fact {
 public:
  Fact(std::string_view section, std::string_view claim, std::string_view source,
       std::string_view date);
  std::string_view section() const { return _part(0); }
  std::string_view claim() const { return _part(1); }
  std::string_view source() const { return _part(2); }
  std::string_view date() const { return _part(3); }

 private:
  std::string_view _part(int i) const {
    return std::string_view(text_).substr(at_[i], at_[i + 1] - at_[i]);
  }
  std::string text_;
  uint32_t at_[5];  // where each part begins, and the end
};

// The first that applies, in this order: no fact states the figure; only facts marked
// "UNVERIFIED: " do; a recorded contradiction names it too; the newest fact that states it is
// too old for a figure presented as current; a fact states it.
enum class Status { Unsourced, Unverified, Contradicted, Stale, Sourced };
inline constexpr std::string_view STATUS_WORDS[] = {"unsourced", "unverified", "contradicted",
                                                    "stale", "sourced"};
inline std::string_view status_word(Status s) { return STATUS_WORDS[static_cast<int>(s)]; }

struct Verdict {
  Status status = Status::Unsourced;
  std::vector<uint32_t> facts;  // indexes into Evidence::facts(): those that state the figure
  std::string newest;           // the newest date among them ("" when none has a date)
  std::string topic;            // the contradiction's topic when contradicted
};

// The claim prefix that marks a fact nobody has confirmed.
inline constexpr std::string_view UNVERIFIED = "UNVERIFIED: ";

// The facts and contradictions of an entity that bear on a dossier's figures. The figures
// are made known first (expect), so that of thousands of facts only those stating one of
// their values are kept and searched.
class Evidence {
 public:
  // A figure that judge() will be asked about; call for every one before adding records.
  void expect(const Figure& figure);
  // A fact without a source sources nothing and is left out; so is one that states none of
  // the values the expected figures may have.
  void add_fact(std::string_view section, std::string_view claim, std::string_view source,
                std::string_view date);
  void add_contradiction(std::string_view topic, std::string_view text);
  const std::vector<Fact>& facts() const { return facts_; }

  // The status of `figure`. A figure that shows a current value (`current`) is stale when the
  // newest fact stating it is dated before `stale_before` (YYYY-MM-DD; "" never). A value
  // stated matches when it rounds to the figure at the figure's precision; one exactly
  // halfway rounds either way, since writers round halves both up and to even.
  Verdict judge(const Figure& figure, bool current, std::string_view stale_before);

 private:
  struct Entry {
    Decimal value;
    double near;  // the nearest double
    Kind kind;
    std::string currency;
    uint32_t owner;      // the fact's index, or the contradiction's
    bool contradiction;  // owner is a contradiction
    bool unscaled;       // the number as written, its scale word left off
  };
  // Adds the quantities of `text` that some expected figure may match; false when none.
  bool _add(std::string_view text, uint32_t owner, bool contradiction);
  // Whether some expected figure may match a value whose nearest double is `near`.
  bool _wanted(double near);
  // Hands each entry whose value lies in [lo, hi] to `each`.
  template <typename F>
  void _within(const Decimal& lo, const Decimal& hi, F&& each);

  std::vector<Fact> facts_;
  std::vector<std::string> topics_;
  std::deque<Entry> entries_;  // grows without moving what it holds
  // The entries in the order of their values, each with its value as the nearest double:
  // sorting and searching those is cheap, and the exact comparison is left to the few
  // entries a search finds.
  std::vector<std::pair<double, uint32_t>> order_;
  // The values the expected figures may match, as ranges of doubles: first as expected, then
  // merged into disjoint ranges in order.
  std::vector<std::pair<double, double>> wanted_;
  bool merged_ = false;
};

// YYYY-MM-DD, 18 months before the date `generated` begins with; "" when it begins with none.
std::string stale_before(std::string_view generated);

}  // namespace q9::audit
