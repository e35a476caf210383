// What a list reader refuses before it reads: a page, a compressed body, nothing.
#include <cctype>
#include <string>

#include "screen/readers.hpp"

namespace q9::screen {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

void split_values(std::string_view text, std::string_view separator,
                  std::vector<std::string_view>& out) {
  for (;;) {
    const size_t at = text.find(separator);
    const std::string_view part = trim(text.substr(0, at));
    if (!part.empty() && part != "-0-") out.push_back(part);
    if (at == std::string_view::npos) return;
    text.remove_prefix(at + separator.size());
  }
}

void refuse_foreign(std::string_view bytes, std::string_view what) {
  auto refuse = [&](const char* kind) {
    throw ListError("not " + std::string(what) + " (" + kind + ")", true);
  };
  if (bytes.empty()) refuse("an empty file");
  if (bytes.size() >= 2 && bytes[0] == '\x1f' && bytes[1] == '\x8b') refuse("gzip data");
  std::string head;
  for (char c : bytes.substr(0, 1024)) {
    head += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t lead = head.find_first_not_of(" \t\r\n\xef\xbb\xbf");
  if (lead != std::string::npos && head[lead] == '<' &&
      (head.find("<html") != std::string::npos ||
       head.find("<!doctype html") != std::string::npos)) {
    refuse("an HTML page");
  }
  if (head.find("<html") != std::string::npos && head.find("<body") != std::string::npos) {
    refuse("an HTML page");
  }
}

}  // namespace q9::screen
