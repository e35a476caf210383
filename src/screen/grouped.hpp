// Entries of lists that give one row per name (the UK and EU lists): rows gathered by
// their entry's id, in the order ids first appear, values kept once each.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "screen/entry.hpp"

namespace q9::screen {

class Grouped {
 public:
  Entry& get(std::string_view id) {
    auto [it, fresh] = index_.try_emplace(std::string(id), entries_.size());
    if (fresh) {
      entries_.emplace_back();
      entries_.back().id = id;
    }
    return entries_[it->second];
  }
  static void add(std::vector<std::string>& to, std::string_view value) {
    if (value.empty() || value == "-") return;
    for (const auto& v : to) {
      if (v == value) return;
    }
    to.emplace_back(value);
  }
  // Hands every entry on, in order; returns how many.
  size_t emit(const EntrySink& sink) const {
    EntryView v;
    for (const Entry& e : entries_) {
      v.clear();
      v.id = e.id, v.type = e.type, v.listed_on = e.listed_on;
      for (const auto& x : e.names) v.names.push_back(x);
      for (const auto& x : e.programs) v.programs.push_back(x);
      for (const auto& x : e.dob) v.dob.push_back(x);
      for (const auto& x : e.nationality) v.nationality.push_back(x);
      sink(v);
    }
    return entries_.size();
  }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> index_;
};

// The index of the first of `names` among the header's fields; -1 when none is there.
inline int column(const std::vector<std::string_view>& header,
                  std::initializer_list<std::string_view> names) {
  for (std::string_view n : names) {
    for (size_t i = 0; i < header.size(); ++i) {
      if (header[i] == n) return static_cast<int>(i);
    }
  }
  return -1;
}

inline std::string_view at(const std::vector<std::string_view>& row, int i) {
  return i >= 0 && static_cast<size_t>(i) < row.size() ? row[static_cast<size_t>(i)]
                                                       : std::string_view();
}

}  // namespace q9::screen
