// SHA-256 of a list file, as the output shows it (lower-case hex).
#pragma once

#include <string>
#include <string_view>

namespace q9::screen {

std::string sha256_hex(std::string_view bytes);

}  // namespace q9::screen
