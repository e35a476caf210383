// SHA-256 through nettle (static, and it uses the processor's SHA instructions).
#include "screen/digest.hpp"

#include <nettle/sha2.h>

namespace q9::screen {

std::string sha256_hex(std::string_view bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  constexpr size_t kSlice = size_t(1) << 30;
  for (size_t at = 0; at < bytes.size(); at += kSlice) {
    const size_t n = std::min(kSlice, bytes.size() - at);
    sha256_update(&ctx, n, reinterpret_cast<const uint8_t*>(bytes.data() + at));
  }
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, SHA256_DIGEST_SIZE, digest);
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += HEX[b >> 4];
    out += HEX[b & 15];
  }
  return out;
}

}  // namespace q9::screen
