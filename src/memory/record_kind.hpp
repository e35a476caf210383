// The kinds of record the memory store keeps, with their words: what `q9 record` takes and
// what the store writes into each record.
#pragma once

#include <iterator>
#include <optional>
#include <string_view>

namespace q9::memory {

enum class RecordKind { Fact, Negative, Contradiction, Report };

// The words, in the order of RecordKind.
inline constexpr std::string_view RECORD_KINDS[] = {"fact", "negative", "contradiction", "report"};

constexpr std::string_view word(RecordKind kind) { return RECORD_KINDS[static_cast<int>(kind)]; }

// The kind `word` names; nothing for any other text.
constexpr std::optional<RecordKind> record_kind(std::string_view word) {
  for (size_t k = 0; k < std::size(RECORD_KINDS); ++k) {
    if (RECORD_KINDS[k] == word) return static_cast<RecordKind>(k);
  }
  return std::nullopt;
}

}  // namespace q9::memory
