// Matching by token sets: an entry's names are split into tokens once, each token looked up
// in a small table of the names' tokens; nothing is allocated unless the entry holds one.
#include "screen/match.hpp"

#include <algorithm>
#include <optional>

#include "screen/normalize.hpp"

namespace q9::screen {
namespace {

uint64_t hash_of(std::string_view s) {
  uint64_t h = 1469598103934665603ull;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h ^ (h >> 29);
}

template <class F>
void for_each_token(std::string_view tokens, F&& f) {
  size_t start = 0;
  while (start < tokens.size()) {
    size_t end = tokens.find(' ', start);
    if (end == std::string_view::npos) end = tokens.size();
    if (end > start) f(tokens.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

Entry::Entry(const EntryView& v) : id(v.id), type(v.type), listed_on(v.listed_on) {
  for (auto x : v.names) names.emplace_back(x);
  for (auto x : v.programs) programs.emplace_back(x);
  for (auto x : v.dob) dob.emplace_back(x);
  for (auto x : v.nationality) nationality.emplace_back(x);
}

void entry_keys(const EntryView& e, std::string& out) {
  for (size_t i = 0; i < e.names.size(); ++i) {
    if (i) out += '\x1f';
    append_tokens(e.names[i], out);
  }
}

Screener::Screener(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::vector<int> ids;
    for_each_token(tokens_of(name), [&](std::string_view t) {
      auto it = std::find(tokens_.begin(), tokens_.end(), t);
      const int id = static_cast<int>(it - tokens_.begin());
      if (it == tokens_.end()) tokens_.emplace_back(t);
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    });
    queries_.push_back(std::move(ids));
  }
  size_t size = 16;
  while (size < tokens_.size() * 4) size *= 2;
  table_.assign(size, 0);
  for (size_t i = 0; i < tokens_.size(); ++i) {
    size_t at = hash_of(tokens_[i]) & (size - 1);
    while (table_[at] != 0) at = (at + 1) & (size - 1);
    table_[at] = static_cast<uint32_t>(i + 1);
  }
  words_ = std::max<size_t>(1, (tokens_.size() + 63) / 64);
  query_masks_.assign(queries_.size() * words_, 0);
  for (size_t q = 0; q < queries_.size(); ++q) {
    for (int t : queries_[q])
      query_masks_[q * words_ + static_cast<size_t>(t) / 64] |= uint64_t(1) << (t % 64);
  }
  holders_.assign(tokens_.size(), 0);
  loose_.resize(queries_.size());
  for (size_t q = 0; q < queries_.size(); ++q) loose_[q].resize(queries_[q].size());
  results_.resize(queries_.size());
  name_mask_.assign(words_, 0);
  entry_mask_.assign(words_, 0);
  full_for_.assign(queries_.size(), 0);
}

int Screener::lookup(std::string_view token) const {
  const size_t mask = table_.size() - 1;
  for (size_t at = hash_of(token) & mask;; at = (at + 1) & mask) {
    const uint32_t slot = table_[at];
    if (slot == 0) return -1;
    if (tokens_[slot - 1] == token) return static_cast<int>(slot - 1);
  }
}

void Screener::add(const EntryView& e, std::string_view keys) {
  ++entries_;
  if (tokens_.empty()) return;
  std::fill(entry_mask_.begin(), entry_mask_.end(), 0);
  bool any = false, full = false;
  size_t start = 0;
  for (;;) {
    size_t end = keys.find('\x1f', start);
    if (end == std::string_view::npos) end = keys.size();
    bool in_name = false;
    for_each_token(keys.substr(start, end - start), [&](std::string_view t) {
      const int id = lookup(t);
      if (id < 0) return;
      if (!in_name) std::fill(name_mask_.begin(), name_mask_.end(), 0);
      in_name = true;
      name_mask_[static_cast<size_t>(id) / 64] |= uint64_t(1) << (id % 64);
    });
    if (in_name) {
      if (!any) std::fill(full_for_.begin(), full_for_.end(), 0);
      any = true;
      for (size_t w = 0; w < words_; ++w) entry_mask_[w] |= name_mask_[w];
      for (size_t q = 0; q < queries_.size(); ++q) {
        if (queries_[q].empty()) continue;
        bool all = true;
        for (size_t w = 0; w < words_ && all; ++w) {
          all = (name_mask_[w] & query_masks_[q * words_ + w]) == query_masks_[q * words_ + w];
        }
        if (all) full_for_[q] = 1, full = true;
      }
    }
    if (end >= keys.size()) break;
    start = end + 1;
  }
  if (!any) return;
  std::optional<Entry> copy;
  auto entry = [&]() -> const Entry& {
    if (!copy) copy.emplace(e);
    return *copy;
  };
  for (size_t t = 0; t < tokens_.size(); ++t) {
    if (entry_mask_[t / 64] >> (t % 64) & 1) ++holders_[t];
  }
  for (size_t q = 0; q < queries_.size(); ++q) {
    if (full && full_for_[q]) {
      if (results_[q].full.size() < kMaxFull) results_[q].full.push_back(entry());
      ++results_[q].full_total;
      continue;
    }
    for (size_t k = 0; k < queries_[q].size(); ++k) {
      const int t = queries_[q][k];
      if (!(entry_mask_[static_cast<size_t>(t) / 64] >> (t % 64) & 1)) continue;
      Loose& l = loose_[q][k];
      if (l.first.size() < kMaxPartials) l.first.push_back(entry());
      ++l.count;
    }
  }
}

void Screener::merge(const Screener& later) {
  entries_ += later.entries_;
  for (size_t t = 0; t < holders_.size(); ++t) holders_[t] += later.holders_[t];
  for (size_t q = 0; q < queries_.size(); ++q) {
    QueryResult& r = results_[q];
    const QueryResult& o = later.results_[q];
    for (const Entry& x : o.full) {
      if (r.full.size() < kMaxFull) r.full.push_back(x);
    }
    r.full_total += o.full_total;
    for (size_t k = 0; k < queries_[q].size(); ++k) {
      Loose& l = loose_[q][k];
      for (const Entry& x : later.loose_[q][k].first) {
        if (l.first.size() < kMaxPartials) l.first.push_back(x);
      }
      l.count += later.loose_[q][k].count;
    }
  }
}

std::vector<QueryResult> Screener::results() const {
  std::vector<QueryResult> out = results_;
  for (size_t q = 0; q < queries_.size(); ++q) {
    // The rarest token any entry holds; on a tie the longer, then the earlier one.
    int best = -1;
    for (size_t k = 0; k < queries_[q].size(); ++k) {
      const size_t t = static_cast<size_t>(queries_[q][k]);
      if (holders_[t] == 0) continue;
      if (best < 0) {
        best = static_cast<int>(k);
        continue;
      }
      const size_t b = static_cast<size_t>(queries_[q][static_cast<size_t>(best)]);
      if (holders_[t] < holders_[b] ||
          (holders_[t] == holders_[b] && tokens_[t].size() > tokens_[b].size())) {
        best = static_cast<int>(k);
      }
    }
    if (best >= 0 && queries_[q].size() > 1) {
      out[q].partial = loose_[q][static_cast<size_t>(best)].first;
      out[q].partial_total = loose_[q][static_cast<size_t>(best)].count;
    }
  }
  return out;
}

}  // namespace q9::screen
