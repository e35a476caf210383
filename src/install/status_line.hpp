// The status line of a long provisioning step on a terminal, ".. installing burrowby (0:42)":
// drawn in place, redrawn as the seconds pass, erased before the step's own line. Covered by
// install_test.cpp (times given) and install_e2e_test.cpp (on a pseudo-terminal).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "core/out.hpp"

namespace q9::install {

class StatusLine {
 public:
  using Clock = std::chrono::steady_clock;

  // A step shows its line once it has run longer than this.
  static constexpr Clock::duration DELAY = std::chrono::seconds(2);

  // Draws on `terminal`, which the caller has found to be one; nullptr draws nothing ever,
  // so output to a pipe or file stays as it is.
  explicit StatusLine(Out* terminal) : term_(terminal) {}
  ~StatusLine() { clear(); }
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  // A child of `step` is running at `now`. The first call for a step starts its time; once
  // it has run longer than DELAY, ".. <step> (m:ss)" is drawn over the line, and again
  // each time the count of whole seconds changes. A call for another step erases the line
  // and starts that step's time.
  void waiting(std::string_view step, Clock::time_point now = Clock::now());

  // Erases the line if one is drawn and ends the step; call it before the step's own line.
  void clear();

 private:
  void put(const std::string& bytes);

  Out* term_;
  std::string step_;  // empty between steps
  Clock::time_point start_;
  long long shown_ = -1;  // the seconds on the line, -1 when nothing is drawn
  size_t width_ = 0;      // characters drawn
};

}  // namespace q9::install
