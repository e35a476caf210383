// What the memory store accepts and how it keys it: entity keys that match however a name is
// typed, calendar dates, UTF-8 text, report paths and recording times.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace q9::memory {

// A refused record or a store that cannot be opened; the message is a one-line diagnostic.
class MemoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The key under which an entity is stored: Unicode NFKC with full case folding (default
// ignorable characters dropped), white space collapsed to one space and trimmed, so
// "MÜLLER AG", "Müller  AG" and a decomposed "ü" give one key. Throws MemoryError for text
// that is not UTF-8 and for a blank name.
std::string entity_key(std::string_view name);

// Throws MemoryError naming `what` when `text` is not valid UTF-8 or holds a NUL character,
// which neither backend can keep as text.
void check_text(std::string_view what, std::string_view text);

// Whether `text` is a real calendar date written YYYY-MM-DD.
bool is_calendar_date(std::string_view text);

// Today's local date as YYYY-MM-DD.
std::string today();

// The current time in UTC with its offset: YYYY-MM-DDTHH:MM:SS+00:00.
std::string utc_now();

// `text` with every byte but ASCII letters, digits, "-._~" and those in `keep` written as
// %XX, as URIs want it.
std::string percent_encode(std::string_view text, std::string_view keep = "");

// `path` made absolute against the current folder, "." components dropped (".." is kept:
// it may pass through a symbolic link). Throws MemoryError for an empty path.
std::string absolute_report_path(std::string_view path);

}  // namespace q9::memory
