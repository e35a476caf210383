// Path texts as the gate prints them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace q9::validate {

// The normal form of a path text: repeated "/" collapse, "." components and a
// trailing "/" are dropped ("./out//acme.html" -> "out/acme.html"); ".." is kept,
// a leading "//" (exactly two) is kept, and an empty result is ".".
std::string normal_path_text(std::string_view text);

// The last component of a normalised path ("" for "/" and ".").
std::string path_name(const std::filesystem::path& path);

}  // namespace q9::validate
