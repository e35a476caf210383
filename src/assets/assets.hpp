// Embedded install assets for q9-install: the twelve host configuration files,
// generated at build time from the readable sources in files/ (see embed_assets.cpp).
// Covered by assets_test.cpp.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace q9::assets {

struct Asset {
  std::string_view path;    // relative to the host configuration directory, "/"-separated
  std::string_view base64;  // standard base64 with padding of the file's exact bytes
};

// In writing order: the agent, the command, the skill, then the nine reference
// guides in file-name order. Built once from constant data; never changes.
extern const std::array<Asset, 12> ASSETS;

// The standard base64 alphabet: the value of each character is its index.
inline constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Strict base64 (RFC 4648 standard alphabet, padding required, no white space):
// the decoded bytes, or nullopt when `text` is not strictly valid.
std::optional<std::string> decode_base64(std::string_view text);

}  // namespace q9::assets
