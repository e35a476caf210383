// The installer's status line, drawn with carriage returns and spaces only, so that it
// works on any terminal, a dumb one included.
#include "install/status_line.hpp"

#include <algorithm>

namespace q9::install {
namespace {

// "0:07", "1:00", "31:05".
std::string minutes_text(long long seconds) {
  std::string ss = std::to_string(100 + seconds % 60).substr(1);
  return std::to_string(seconds / 60) + ":" + ss;
}

}  // namespace

void StatusLine::waiting(std::string_view step, Clock::time_point now) {
  if (!term_) return;
  if (step != step_) {
    clear();
    step_ = step;
    start_ = now;
  }
  const Clock::duration ran = now - start_;
  if (ran <= DELAY) return;
  const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(ran).count();
  if (seconds == shown_) return;
  std::string line = "\r.. " + step_ + " (" + minutes_text(seconds) + ")";
  const size_t width = line.size() - 1;
  if (width < width_) line.append(width_ - width, ' ');
  put(line);
  shown_ = seconds;
  width_ = std::max(width, width_);
}

void StatusLine::clear() {
  if (term_ && shown_ >= 0) {
    std::string blank(width_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    put(blank);
  }
  step_.clear();
  shown_ = -1;
  width_ = 0;
}

void StatusLine::put(const std::string& bytes) {
  *term_ << bytes;
  term_->flush();
}

}  // namespace q9::install
