// Decoding speed of the embedded catalogue: what q9-install pays to turn the
// twelve payloads back into bytes, plus the decoder on a large buffer.
// Usage: assets_bench [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "assets/assets.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using q9::assets::ASSETS;
  using q9::assets::decode_base64;
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;

  size_t encoded = 0, decoded = 0;
  for (const auto& asset : ASSETS) {
    encoded += asset.base64.size();
    decoded += decode_base64(asset.base64).value().size();
  }

  auto start = std::chrono::steady_clock::now();
  size_t sink = 0;
  for (int r = 0; r < rounds; ++r)
    for (const auto& asset : ASSETS) sink += decode_base64(asset.base64)->size();
  double catalogue = seconds_since(start) / rounds;

  // 64 MB of base64 ('A' repeated decodes to zero bytes): the decoder's throughput.
  std::string big(64u << 20, 'A');
  start = std::chrono::steady_clock::now();
  sink += decode_base64(big)->size();
  double large = seconds_since(start);

  std::printf("catalogue: 12 payloads, %zu base64 chars -> %zu bytes\n", encoded, decoded);
  std::printf("decode whole catalogue: %.1f us per run (%d runs)\n", catalogue * 1e6, rounds);
  std::printf("decode 64 MB: %.3f s (%.0f MB/s)\n", large, 64 / large);
  return sink == 0;
}
