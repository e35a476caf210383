// What a list reader hands on for each entry of a list, and the failure that makes a list
// "not screened".
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace q9::screen {

// The bytes are not the list they should be, or not all of it: the list is not screened.
// The message is the reason as the output shows it after "<list>: not screened: ",
// e.g. "un.xml is not the UN list (an HTML page)".
class ListError : public std::runtime_error {
 public:
  // `foreign`: the bytes are some other thing altogether (a page, another list), not a
  // damaged copy of the list; a download reports it as "HTTP 200 but <message>".
  explicit ListError(const std::string& message, bool foreign = false)
      : std::runtime_error(message), foreign_(foreign) {}
  bool foreign() const { return foreign_; }

 private:
  bool foreign_;
};

// One entry as a reader sees it. The views point into the reader's own buffers and stay
// valid only during the call they are handed to: a reader reuses them for the next entry,
// so reading a list of a million entries allocates nothing per entry.
struct EntryView {
  std::string_view id, type, listed_on;
  std::vector<std::string_view> names;  // the primary name first, then the aliases
  std::vector<std::string_view> programs, dob, nationality;

  void clear() {
    id = type = listed_on = {};
    names.clear();
    programs.clear();
    dob.clear();
    nationality.clear();
  }
};

// An entry kept for the output (a hit or a partial): the same fields, owned.
struct Entry {
  std::string id, type, listed_on;
  std::vector<std::string> names, programs, dob, nationality;

  explicit Entry(const EntryView& v);
  Entry() = default;
};

using EntrySink = std::function<void(const EntryView&)>;

// What a reader found besides the entries.
struct ReadSummary {
  size_t entries = 0;
  std::string published;  // the list's own publication date, as the list writes it; may be empty
  size_t aliases = 0;     // OFAC: the rows of ALT.CSV, which has a floor of its own
};

}  // namespace q9::screen
