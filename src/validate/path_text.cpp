#include "validate/path_text.hpp"

namespace q9::validate {

std::string normal_path_text(std::string_view text) {
  std::string root;
  if (text.starts_with("//") && !text.starts_with("///")) {
    root = "//";
  } else if (text.starts_with("/")) {
    root = "/";
  }
  std::string body;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find('/', i);
    if (j == std::string_view::npos) j = text.size();
    std::string_view part = text.substr(i, j - i);
    if (!part.empty() && part != ".") {
      if (!body.empty()) body += '/';
      body += part;
    }
    i = j + 1;
  }
  if (root.empty() && body.empty()) return ".";
  return root + body;
}

std::string path_name(const std::filesystem::path& path) {
  const std::string text = normal_path_text(path.native());
  if (text == "." || text.find_first_not_of('/') == std::string::npos) return "";
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

}  // namespace q9::validate
