// The audit of one report data record: the texts a reader sees about the company, each
// figure in them, and the status memory gives it.
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "audit/figures.hpp"
#include "audit/match.hpp"
#include "core/json.hpp"

namespace q9::audit {

// A report data record whose shape hides its texts (sections that are not a list, ...); the
// message names the member.
class DataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text the dossier shows: the hero stats, a section's heading, a section's body.
struct Passage {
  std::string section;  // "hero_stats" or the section's id
  std::string text;     // as a reader sees it; BREAK between its parts
  bool current;         // it presents current values: the hero stats and the summary
};

// The passages of `data` in the order the dossier shows them. The methodology and screening
// sections describe the research, not the company, and are left out. Throws DataError.
std::vector<Passage> passages(const json::Value& data);

struct AuditedFigure {
  std::string section;
  std::string text;     // the figure as shown
  std::string context;  // the text around it, its parts joined by " | "
  bool current;         // from a passage that presents current values
  Figure figure;
  Verdict verdict;
};

struct Audit {
  std::vector<AuditedFigure> figures;
  std::string stale_before;  // for the current figures; "" when `generated` is no date
  std::array<size_t, std::size(STATUS_WORDS)> counts{};  // by Status, once judged
};

// Every figure of `data`, not yet judged. Throws DataError.
Audit read_dossier(const json::Value& data);

// Makes the figures known to `evidence`, before records are added to it.
void expect_figures(const Audit& audit, Evidence& evidence);

// Judges every figure against `evidence` and counts the statuses.
void judge_figures(Audit& audit, Evidence& evidence);

}  // namespace q9::audit
