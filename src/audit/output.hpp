// What q9-audit prints: the figures that are not plainly sourced with the counts, or the
// whole audit as JSON.
#pragma once

#include <string_view>

#include "audit/dossier.hpp"
#include "core/out.hpp"

namespace q9::audit {

// One line per figure that is not sourced, under a line naming its section, then
// "figures: N, sourced: S, unverified: V, stale: T, contradicted: C, unsourced: U". Text
// from the data file and the store is shown with its control characters escaped.
void write_text(const Audit& audit, Out& out);

// {"entity", "counts": {...}, "figures": [{"text", "value", "unit", "section", "status",
// "facts": [{"section", "claim", "source", "date"}]}]}: every figure, in the dossier's order.
void write_json(std::string_view entity, const Audit& audit, const Evidence& evidence, Out& out);

}  // namespace q9::audit
