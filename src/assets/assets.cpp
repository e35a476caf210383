// Strict base64 decoding of the embedded payloads. The catalogue itself is
// generated into the build tree (catalogue.cpp) by embed_assets.
#include "assets/assets.hpp"

#include <array>
#include <cstdint>

namespace q9::assets {

namespace {

// Value of each byte in the standard alphabet, or -1. A table rather than
// range tests: the payloads are short, but the branches are unpredictable.
constexpr std::array<int8_t, 256> SEXTETS = [] {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(BASE64_ALPHABET[i])] = static_cast<int8_t>(i);
  return table;
}();

}  // namespace

// Besides the alphabet and the length, the padding must be canonical: '=' only
// in the last one or two places of the last group, and the bits it leaves
// unused must be zero, so each byte string has exactly one accepted encoding.
std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = (text[text.size() - 2] == '=') ? 2 : 1;
  const size_t body = text.size() - padding;

  std::string out(body * 3 / 4, '\0');
  size_t o = 0;
  size_t i = 0;
  // Whole groups of four characters: three bytes each.
  for (; i + 4 <= body; i += 4) {
    int a = SEXTETS[static_cast<unsigned char>(text[i])];
    int b = SEXTETS[static_cast<unsigned char>(text[i + 1])];
    int c = SEXTETS[static_cast<unsigned char>(text[i + 2])];
    int d = SEXTETS[static_cast<unsigned char>(text[i + 3])];
    if ((a | b | c | d) < 0) return std::nullopt;  // a stray character, or '=' inside the text
    uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
    out[o++] = static_cast<char>(v >> 16);
    out[o++] = static_cast<char>(v >> 8);
    out[o++] = static_cast<char>(v);
  }
  // The padded last group: two or three characters before the '='.
  if (padding != 0) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4 - padding; ++k) {
      int x = SEXTETS[static_cast<unsigned char>(text[i + k])];
      if (x < 0) return std::nullopt;
      v |= uint32_t(x) << (18 - 6 * k);
    }
    // The bits below the last whole byte must be zero.
    if (v & (padding == 2 ? 0xFFFFu : 0xFFu)) return std::nullopt;
    out[o++] = static_cast<char>(v >> 16);
    if (padding == 1) out[o++] = static_cast<char>(v >> 8);
  }
  return out;
}

}  // namespace q9::assets
