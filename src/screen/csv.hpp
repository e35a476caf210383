// A reader of comma- (or semicolon-) separated records over bytes held in memory, for the
// list files. Written here because the readers must not allocate per field: a field is a
// view into the file unless it holds a doubled quote.
// Tests: csv_test.cpp.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace q9::screen {

// No record of a list is anywhere near this long; a longer one means the file is not the
// list (or is hostile), and is refused before it can cost memory.
inline constexpr size_t kMaxRecord = 1u << 20;

class CsvReader {
 public:
  // `file` names the file in messages. `data` must outlive the reader.
  CsvReader(std::string_view data, char separator, std::string file);

  // Reads from `fill` instead, which copies up to `room` bytes to `to` and returns how many
  // (0 at the end): a file inflated as it is read, a few megabytes held at a time.
  using Fill = std::function<size_t(char* to, size_t room)>;
  CsvReader(Fill fill, char separator, std::string file);

  // The next record's fields, views valid until the next call; false at the end. Blank
  // lines and a final end-of-file byte (0x1a, which older list files carry) are skipped.
  // Throws ListError "<file>: malformed record N: <what>" for a quote left open, text
  // after a closing quote, a NUL byte or a record longer than kMaxRecord.
  bool next(std::vector<std::string_view>& fields);

  // The number of the record next() returned last, counted from 1.
  size_t record() const { return record_; }
  [[noreturn]] void fail(const std::string& what) const;

 private:
  void refill();

  std::string_view data_;
  size_t pos_ = 0;
  Fill fill_;
  char sep_;
  std::string file_;
  std::string buffer_;  // what fill_ gave and next() has not passed yet
  bool drained_ = true;
  size_t record_ = 0;
  std::string scratch_;  // unquoted copies of fields with doubled quotes
};

}  // namespace q9::screen
