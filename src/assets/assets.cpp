// Strict base64 decoding of the embedded payloads. The catalogue itself is
// generated into the build tree (catalogue.cpp) by embed_assets.
#include "assets/assets.hpp"

#include <cstdint>

namespace q9::assets {

namespace {

// Value of a base64 alphabet character, or -1.
int _sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

// Besides the alphabet and the length, the padding must be canonical: '=' only
// in the last one or two places of the last group, and the bits it leaves
// unused must be zero, so each byte string has exactly one accepted encoding.
std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = (text[text.size() - 2] == '=') ? 2 : 1;
  }
  std::string out;
  out.reserve(text.size() / 4 * 3);
  const size_t body = text.size() - padding;
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < body; ++i) {
    int v = _sextet(text[i]);
    if (v < 0) return std::nullopt;  // a stray character, or '=' inside the text
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  // What is left after the last whole byte must be padding-zero bits.
  if ((bits & ((1u << held) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace q9::assets
