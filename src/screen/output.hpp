// What q9-screen prints: a table per list then the hits and partials, or the same as JSON;
// and the exit status the outcome gives. Tests: screen_test.cpp.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "core/out.hpp"
#include "screen/screen.hpp"

namespace q9::screen {

// 1 when a sanctions list has a full hit; else 3 when a list was not screened; else 0.
int exit_status(const std::vector<ListOutcome>& outcomes);

void write_text(const std::vector<ListOutcome>& outcomes, const std::vector<std::string>& names,
                std::chrono::system_clock::time_point now, Out& out);

void write_json(const std::vector<ListOutcome>& outcomes, const std::vector<std::string>& names,
                Out& out);

}  // namespace q9::screen
