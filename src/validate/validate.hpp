// The GATE 4 contract checks over a dossier held in memory or on disk.
#pragma once

#include <filesystem>
#include <string_view>

#include "validate/report.hpp"

namespace q9::validate {

// Validate report HTML held in memory. Reads and writes nothing; `path` only names
// where the text came from and is stored in the result.
Report validate_text(std::string_view text, const std::filesystem::path& path = "<memory>");

// Validate a report file on disk. A missing path gives a failed Report; a directory,
// an unreadable file or bytes that are not UTF-8 throw q9::files::FileError.
Report validate_file(const std::filesystem::path& path);

}  // namespace q9::validate
