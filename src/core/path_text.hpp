// The text of a path as messages show it.
#pragma once

#include <string>
#include <string_view>

namespace q9::files {

// The normal form of a path text, as messages show paths: repeated "/" collapse, "."
// components and a trailing "/" are dropped ("./out//acme.html" -> "out/acme.html");
// ".." is kept, a leading "//" (exactly two) is kept, and an empty result is ".".
std::string normal_path_text(std::string_view text);

}  // namespace q9::files
