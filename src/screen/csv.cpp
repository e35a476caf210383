// The list files' record reader; see csv.hpp for why it is not a library.
#include "screen/csv.hpp"

#include <algorithm>
#include <cstring>

#include "screen/entry.hpp"

namespace q9::screen {

CsvReader::CsvReader(std::string_view data, char separator, std::string file)
    : data_(data), sep_(separator), file_(std::move(file)) {
  if (data_.starts_with("\xEF\xBB\xBF")) pos_ = 3;  // a byte-order mark
}

CsvReader::CsvReader(Fill fill, char separator, std::string file)
    : fill_(std::move(fill)), sep_(separator), file_(std::move(file)), drained_(false) {
  buffer_.resize(8 * kMaxRecord);
  data_ = std::string_view(buffer_.data(), 0);
  refill();
  if (data_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
}

// Keeps at least one record's worth of bytes ahead of pos_ while fill_ has more, so that
// a record never runs past the buffer unless it is too long anyway.
void CsvReader::refill() {
  if (drained_ || data_.size() - pos_ > kMaxRecord + 2) return;
  const size_t kept = data_.size() - pos_;
  std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
  size_t have = kept;
  while (have < buffer_.size()) {
    const size_t n = fill_(buffer_.data() + have, buffer_.size() - have);
    if (n == 0) {
      drained_ = true;
      break;
    }
    have += n;
  }
  data_ = std::string_view(buffer_.data(), have);
  pos_ = 0;
}

void CsvReader::fail(const std::string& what) const {
  throw ListError(file_ + ": malformed record " + std::to_string(record_) + ": " + what);
}

bool CsvReader::next(std::vector<std::string_view>& fields) {
  fields.clear();
  refill();
  // Skip blank lines and the end-of-file byte.
  while (pos_ < data_.size() &&
         (data_[pos_] == '\n' || data_[pos_] == '\r' || data_[pos_] == '\x1a')) {
    ++pos_;
    if (pos_ == data_.size()) refill();
  }
  refill();
  if (pos_ >= data_.size()) return false;
  ++record_;
  const size_t start = pos_;
  // Doubled quotes are copied into scratch_, which never grows within a record (it is
  // reserved to kMaxRecord), so the views taken earlier in the record stay valid.
  scratch_.clear();
  if (scratch_.capacity() < kMaxRecord) scratch_.reserve(kMaxRecord);
  const char* d = data_.data();
  const size_t n = data_.size();
  size_t p = pos_;
  for (;;) {
    if (p - start > kMaxRecord) fail("longer than 1 MiB");
    if (p < n && d[p] == '"') {
      // A quoted field: up to the quote not doubled.
      size_t q = p + 1;
      size_t copied_from = std::string::npos;
      for (;;) {
        // Searched no further than the longest record, however long the file.
        const size_t window = std::min(n, start + kMaxRecord + 1);
        const void* hit = q < window ? std::memchr(d + q, '"', window - q) : nullptr;
        if (!hit) fail(window < n ? "longer than 1 MiB" : "a quoted field is not closed");
        const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - d);
        if (at + 1 < n && d[at + 1] == '"') {
          if (copied_from == std::string::npos) copied_from = scratch_.size();
          scratch_.append(d + q, at + 1 - q);
          q = at + 2;
          continue;
        }
        if (copied_from == std::string::npos) {
          fields.emplace_back(d + p + 1, at - p - 1);
        } else {
          scratch_.append(d + q, at - q);
          fields.emplace_back(scratch_.data() + copied_from, scratch_.size() - copied_from);
        }
        p = at + 1;
        break;
      }
      if (fields.back().find('\0') != std::string_view::npos) fail("a NUL byte");
      if (p < n && d[p] != sep_ && d[p] != '\n' && d[p] != '\r') fail("text after a closing quote");
    } else {
      const size_t f = p;
      while (p < n && d[p] != sep_ && d[p] != '\n' && d[p] != '\r') {
        if (d[p] == '\0') fail("a NUL byte");
        ++p;
        if (p - start > kMaxRecord) fail("longer than 1 MiB");
      }
      fields.emplace_back(d + f, p - f);
    }
    if (p < n && d[p] == sep_) {
      ++p;
      continue;
    }
    // End of the record.
    if (p < n && d[p] == '\r') ++p;
    if (p < n && d[p] == '\n') ++p;
    pos_ = p;
    return true;
  }
}

}  // namespace q9::screen
