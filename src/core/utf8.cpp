// UTF-8 validation, decoding and encoding.
#include "core/utf8.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace q9::utf8 {
namespace {

// The length of the well-formed sequence of a non-ASCII lead byte at `p` (of `n` bytes), or 0
// when there is none; then `*subpart` is the length of its longest beginning that could
// still have become one (at least 1), what the maximal-subpart rule replaces as a whole.
size_t well_formed_prefix(const unsigned char* p, size_t n, size_t* subpart = nullptr) {
  const unsigned char c = p[0];
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  }
  size_t k = 1;
  if (len > 0 && k < n && p[k] >= lo && p[k] <= hi) {
    ++k;
    while (k < len && k < n && (p[k] & 0xC0) == 0x80) ++k;
  }
  if (k == len) return len;
  if (subpart) *subpart = k;
  return 0;
}

}  // namespace

std::optional<size_t> find_invalid(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, 32 bytes at a time, then 8, up to the first byte with its high bit set.
    constexpr uint64_t HIGH = 0x8080808080808080ULL;
    for (uint64_t w[4]; i + 32 <= n; i += 32) {
      std::memcpy(w, p + i, 32);
      if (((w[0] | w[1] | w[2] | w[3]) & HIGH) != 0) break;
    }
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      word &= HIGH;
      if (word != 0) {
        if constexpr (std::endian::native == std::endian::little) i += std::countr_zero(word) / 8;
        break;
      }
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t len = well_formed_prefix(p + i, n - i);
    if (len == 0) return i;
    i += len;
  }
  return std::nullopt;
}

std::string repair(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out;
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t good = find_invalid(bytes.substr(i)).value_or(bytes.size() - i);
    out.append(bytes.substr(i, good));
    i += good;
    if (i == bytes.size()) break;
    size_t subpart = 0;
    well_formed_prefix(p + i, bytes.size() - i, &subpart);
    out += "\xEF\xBF\xBD";
    i += subpart;
  }
  return out;
}

char32_t decode(std::string_view s, size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  // A byte that does not start a well-formed sequence decodes alone, as U+DC00 + byte
  // (the surrogate-escape convention), so malformed input can never be over-read.
  // An encoded surrogate (ED A0..BF xx, as surrogate-escaped text carries) decodes whole.
  const bool surrogate = c == 0xED && i + 2 < s.size() &&
                         (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0xA0 &&
                         (static_cast<unsigned char>(s[i + 2]) & 0xC0) == 0x80;
  if (auto bad = find_invalid(s.substr(i, 4)); !surrogate && bad && *bad == 0) {
    ++i;
    return 0xDC00 + c;
  }
  int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  char32_t cp = c & (0x3F >> (len - 1));
  for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

char* encode(char* w, char32_t cp) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

void append(std::string& out, char32_t cp) {
  char buf[4];
  out.append(buf, encode(buf, cp));
}

size_t length(std::string_view s) {
  // The bytes less the continuation bytes (10xxxxxx), counted eight at a time in byte
  // lanes that are summed before any can pass 255.
  constexpr uint64_t ONES = 0x0101010101010101ULL, LANES16 = 0x00FF00FF00FF00FFULL;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t continuation = 0, i = 0;
  while (i + 8 <= n) {
    uint64_t lanes = 0;
    for (int k = 0; k < 255 && i + 8 <= n; ++k, i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      lanes += ((w & ~(w << 1)) >> 7) & ONES;
    }
    const uint64_t pairs = (lanes & LANES16) + ((lanes >> 8) & LANES16);
    continuation += (pairs * 0x0001000100010001ULL) >> 48;
  }
  for (; i < n; ++i) continuation += (p[i] & 0xC0) == 0x80;
  return n - continuation;
}

std::string escape_stray_bytes(std::string_view bytes) {
  std::string out;
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t good = find_invalid(bytes.substr(i)).value_or(bytes.size() - i);
    out += bytes.substr(i, good);
    i += good;
    if (i < bytes.size()) append(out, 0xDC00 + static_cast<unsigned char>(bytes[i++]));
  }
  return out;
}

std::string_view trim_space(std::string_view text) {
  size_t begin = 0, next = 0;
  while (begin < text.size() && is_space(decode(text, next))) begin = next;
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    next = start;
    if (!is_space(decode(text, next)) || next != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace q9::utf8
