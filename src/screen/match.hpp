// Matching names against one list's entries. A name's tokens all held by one of an entry's
// names (in any order) make a full hit; an entry holding only the name's rarest token on
// the list (the one fewest entries hold, among those any entry holds) is a partial.
// Tests: match_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "screen/entry.hpp"

namespace q9::screen {

// At most this many partials are kept per name and list; the total is counted.
inline constexpr size_t kMaxPartials = 20;
// Full hits kept per name and list (a one-word name on the leaks archive can hold
// thousands); the total is counted.
inline constexpr size_t kMaxFull = 200;

// The keys an entry is matched by: each name's tokens (append_tokens), the names
// separated by '\x1f'. Appended to `out`.
void entry_keys(const EntryView& e, std::string& out);

struct QueryResult {
  std::vector<Entry> full, partial;
  size_t full_total = 0, partial_total = 0;
};

class Screener {
 public:
  // `names` as the user typed them; a name without letters or digits matches nothing.
  explicit Screener(const std::vector<std::string>& names);

  // One entry of the list, with its keys from entry_keys().
  void add(const EntryView& e, std::string_view keys);
  // Takes in what `later` saw, as if its entries had come after this one's (a list read
  // in parts).
  void merge(const Screener& later);
  // The result for each name, in the order given.
  std::vector<QueryResult> results() const;
  size_t entries() const { return entries_; }

 private:
  // A name's token: the entries holding it that are no full hit of that name.
  struct Loose {
    size_t count = 0;
    std::vector<Entry> first;  // the first kMaxPartials of them
  };
  int lookup(std::string_view token) const;

  std::vector<std::string> tokens_;        // distinct query tokens
  std::vector<std::vector<int>> queries_;  // each name's token ids
  std::vector<uint32_t> table_;            // open addressing: token id + 1, 0 empty
  std::vector<uint64_t> query_masks_;      // words_ per name
  size_t words_ = 1;
  std::vector<size_t> holders_;            // per token: the entries holding it
  std::vector<std::vector<Loose>> loose_;  // per name, per token of it
  std::vector<QueryResult> results_;
  size_t entries_ = 0;
  // Per entry, reused.
  std::vector<uint64_t> name_mask_, entry_mask_;
  std::vector<char> full_for_;
};

}  // namespace q9::screen
