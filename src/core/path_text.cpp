// The normal form of path texts. std::filesystem::path::lexically_normal() falls short:
// it resolves "..", which a symbolic link can make wrong, and keeps a trailing "/".
#include "core/path_text.hpp"

namespace q9::files {

std::string normal_path_text(std::string_view text) {
  std::string out;
  if (text.starts_with("//") && !text.starts_with("///")) {
    out = "//";
  } else if (text.starts_with("/")) {
    out = "/";
  }
  const size_t root = out.size();
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find('/', i);
    if (j == std::string_view::npos) j = text.size();
    const std::string_view part = text.substr(i, j - i);
    if (!part.empty() && part != ".") {
      if (out.size() > root) out += '/';
      out += part;
    }
    i = j + 1;
  }
  return out.empty() ? "." : out;
}

}  // namespace q9::files
