// The parsed form of a list kept beside it in the cache, so that a repeat screen reads
// tokens already made instead of the list: one line per entry, its fields and its keys.
// A parsed form names the files it was made from (size, modification time, inode); it is
// used only while they are unchanged, and written by rename, so a screen running beside
// another never reads half of one. Tests: screen_test.cpp.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screen/entry.hpp"

namespace q9::screen {

// What a parsed form says about the list besides its entries.
struct ParsedHead {
  std::string identity;  // the source files' identity, see identity_of()
  size_t entries = 0, aliases = 0;
  std::string published;
  std::vector<std::string> sha256;  // one per source file, in the list's file order
};

// The identity of the files a list was read from: name, size, modification time and inode
// of each. Throws files::FileError when one cannot be examined.
std::string identity_of(const std::vector<std::filesystem::path>& files);

// Appends one entry's line (`keys` from entry_keys()).
void append_parsed(const EntryView& e, std::string_view keys, std::string& out);

// The whole file: the head's lines, then `body` (lines from append_parsed).
std::string parsed_file(const ParsedHead& head, std::string_view body);

// Puts `text` at `path` by rename, so that no reader sees half of it. Not flushed to disk
// first: a parsed form is a cache worth less than the second it would cost to wait for a
// hundred megabytes, and one that a crash cut short is refused by its count of entries
// (the list itself is then read again). Throws files::FileError.
void write_parsed(const std::filesystem::path& path, std::string_view text);

// Reads the head of a parsed form; nullopt when `bytes` are no parsed form. `body` is set
// to the entry lines.
std::optional<ParsedHead> read_parsed_head(std::string_view bytes, std::string_view& body);

// Hands each entry of `body` (whole lines) to `f(view, keys)`; returns how many. Throws
// ListError for a line that is not one of ours.
template <class F>
size_t for_each_parsed(std::string_view body, F&& f);

// Splits one line into `e` and its keys; false for a line that is not one of ours.
bool parse_parsed_line(std::string_view line, EntryView& e, std::string_view& keys);

template <class F>
size_t for_each_parsed(std::string_view body, F&& f) {
  size_t n = 0;
  EntryView e;
  std::string_view keys;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find('\n', pos);
    if (end == std::string_view::npos) end = body.size();
    if (!parse_parsed_line(body.substr(pos, end - pos), e, keys)) {
      throw ListError("the parsed copy in the cache is damaged");
    }
    f(e, keys);
    ++n;
    pos = end + 1;
  }
  return n;
}

}  // namespace q9::screen
