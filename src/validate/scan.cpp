// The one-pass scanner. The tag patterns ("<img ... src=", "<section id=...>") are not
// run as whole expressions: a backtracking engine retries "[^>]*" from every opening
// that never closes, which is quadratic. Instead one pass visits only the bytes where a
// match can begin, found 64 at a time, and matches the literal parts itself, folding
// case as PCRE2 does; PCRE2 is left the attributes inside an external-load tag, the
// tests on a radius value and the word test on a non-ASCII code point.
#include "validate/scan.hpp"

#include <array>
#include <bit>
#include <bitset>
#include <cstring>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define Q9_SCAN_NEON 1
#endif

#include "core/utf8.hpp"
#include "validate/patterns.hpp"

namespace q9::validate {
namespace {

constexpr size_t npos = std::string_view::npos;

// What a byte can begin that the scan looks at. The bytes are listed once, in STARTS: the
// lookup table and the NEON nibble tables derive from it, each vector mask is tested against
// the table for every byte value, and visit() must handle each kind (-Wswitch names one it
// misses).
enum class Start : uint8_t {
  None,
  Tag,      // the tags
  Dash,     // the "-" of "border-radius"
  LineEnd,  // \n \v \f and U+001C..U+001E
  Cr,       // \r, alone or before \n
  C2,       // U+0085
  E2,       // U+2028, U+2029, and emoji in U+2600..U+27BF and U+2B00..U+2BFF
  F0,       // emoji in U+1F000..U+1FAFF
};

constexpr std::pair<unsigned char, Start> STARTS[] = {
    {'<', Start::Tag},      {'-', Start::Dash},     {'\n', Start::LineEnd}, {'\v', Start::LineEnd},
    {'\f', Start::LineEnd}, {0x1C, Start::LineEnd}, {0x1D, Start::LineEnd}, {0x1E, Start::LineEnd},
    {'\r', Start::Cr},      {0xC2, Start::C2},      {0xE2, Start::E2},      {0xF0, Start::F0}};

constexpr auto START = [] {
  std::array<Start, 256> t{};
  for (const auto& [byte, kind] : STARTS) t[byte] = kind;
  return t;
}();

#ifdef Q9_SCAN_NEON
// STARTS as two tables of 16 for the vector look-up: a byte begins something when
// LOW[its low nibble] & HIGH[its high nibble] is not zero. Each high nibble that occurs has
// a bit of its own, so the pair holds STARTS exactly; it has room for 8 such nibbles.
struct Nibbles {
  std::array<uint8_t, 16> low{}, high{};
  int used = 0;
};
constexpr Nibbles NIBBLES = [] {
  Nibbles t;
  for (const auto& start : STARTS) {
    const unsigned char byte = start.first;
    uint8_t& bit = t.high[byte >> 4];
    if (bit == 0) bit = static_cast<uint8_t>(1u << t.used++);
    t.low[byte & 15] |= bit;
  }
  return t;
}();
static_assert(NIBBLES.used <= 8, "the start bytes have more high nibbles than a byte has bits");
#endif

struct Head {
  size_t start, end;
};

// The emoji ranges U+2600..U+27BF, U+2B00..U+2BFF and U+1F000..U+1FAFF (which holds the
// other two) as consecutive bit indices, in code point order.
constexpr size_t EMOJI_BITS = 0x1C0 + 0x100 + 0xB00;

char32_t emoji_at_index(size_t k) {
  if (k < 0x1C0) return 0x2600 + k;
  if (k < 0x2C0) return 0x2B00 + (k - 0x1C0);
  return 0x1F000 + (k - 0x2C0);
}

// The next occurrence of `c` at or after a position; queries must not go backwards,
// so repeated look-ups over one unclosed stretch cost nothing.
class NextChar {
 public:
  NextChar(std::string_view text, char c) : text_(text), c_(c) {}
  size_t at(size_t from) {
    if (!valid_ || from > found_) {
      const void* p =
          from < text_.size() ? std::memchr(text_.data() + from, c_, text_.size() - from) : nullptr;
      found_ = p ? static_cast<size_t>(static_cast<const char*>(p) - text_.data()) : npos;
      valid_ = true;
    }
    return found_;
  }

 private:
  std::string_view text_;
  char c_;
  bool valid_ = false;
  size_t found_ = 0;
};

class Scanner {
 public:
  explicit Scanner(std::string_view text)
      : t_(text), p_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

  Scan run() {
    size_t base = 0;
    for (; base + 64 <= n_; base += 64) visit_all(base, candidate_mask(p_ + base));
    if (base < n_) {
      unsigned char tail[64] = {};  // zero bytes are never candidates
      std::memcpy(tail, p_ + base, n_ - base);
      visit_all(base, candidate_mask(tail));
    }
    out_.lines = line_ends_ + (last_line_end_ < n_ ? 1 : 0);
    for (size_t k = 0; k < EMOJI_BITS; ++k) {
      if (emoji_[k]) out_.emoji.push_back(emoji_at_index(k));
    }
    out_.resource_loads = count_tag_attr(resource_heads_, resource_attr);
    out_.css_links = count_tag_attr(link_heads_, link_attr);
    sections();
    return std::move(out_);
  }

 private:
  void visit_all(size_t base, uint64_t mask) {
    while (mask != 0) {
      visit(base + static_cast<size_t>(std::countr_zero(mask)));
      mask &= mask - 1;
    }
  }

  unsigned char at(size_t i) const { return i < n_ ? p_[i] : 0; }

  void visit(size_t i) {
    switch (START[p_[i]]) {
      case Start::None:
        return;
      case Start::Tag:
        return on_tag(i);
      case Start::Dash:
        return on_dash(i);
      case Start::LineEnd:
        return line_end(i + 1);
      case Start::Cr:  // "\r\n" is one ending, counted at its "\n"
        if (at(i + 1) != '\n') line_end(i + 1);
        return;
      case Start::C2:
        if (at(i + 1) == 0x85) line_end(i + 2);
        return;
      case Start::E2:
        return on_e2(i);
      case Start::F0:
        return on_f0(i);
    }
  }

  // Counts a line ending whose last byte is at `end` - 1.
  void line_end(size_t end) {
    ++line_ends_;
    last_line_end_ = end;
  }

  // Caseless literal match as PCRE2 folds it: ASCII letters in either case, and the
  // two non-ASCII letters that fold onto ASCII ones, U+017F (s) and U+212A (k). `lit`
  // is lower case. Returns the end of the match, or npos.
  size_t literal(size_t i, std::string_view lit) const {
    for (const char ch : lit) {
      const auto c = static_cast<unsigned char>(ch);
      const unsigned char b = at(i);
      if (c >= 'a' && c <= 'z' ? (b | 0x20) == c : b == c) {
        ++i;
      } else if (c == 's' && b == 0xC5 && at(i + 1) == 0xBF) {
        i += 2;
      } else if (c == 'k' && b == 0xE2 && at(i + 1) == 0x84 && at(i + 2) == 0xAA) {
        i += 3;
      } else {
        return npos;
      }
    }
    return i;
  }

  // A literal followed by a word boundary ("<img\b").
  size_t word(size_t i, std::string_view lit) const {
    const size_t e = literal(i, lit);
    return e != npos && !is_word_at(t_, e) ? e : npos;
  }

  // Bytes of the white-space code point at i, or 0.
  size_t space(size_t i) const {
    if (i >= n_) return 0;
    size_t next = i;
    return utf8::is_space(utf8::decode(t_, next)) ? next - i : 0;
  }

  size_t skip_space(size_t i) const {
    while (size_t k = space(i)) i += k;
    return i;
  }

  // "<(script|img|iframe|source|video|audio|embed|object)\b", "<link\b", "<svg\b" and
  // "<section id=\"": the alternatives differ by their second letter at the latest.
  void on_tag(size_t i) {
    const size_t s = i + 1;
    size_t e = npos;
    switch (at(s) | 0x20) {
      case 's':
      case 0xC5 | 0x20:  // U+017F
        if ((e = word(s, "script")) != npos || (e = word(s, "source")) != npos) {
          resource_heads_.push_back({i, e});
        } else if ((e = literal(s, "section id=\"")) != npos) {
          section_heads_.push_back({i, e});
        } else if (word(s, "svg") != npos) {
          ++out_.svg_tags;
        }
        return;
      case 'i':
        if ((e = word(s, "img")) != npos || (e = word(s, "iframe")) != npos) break;
        return;
      case 'v':
        e = word(s, "video");
        break;
      case 'a':
        e = word(s, "audio");
        break;
      case 'e':
        e = word(s, "embed");
        break;
      case 'o':
        e = word(s, "object");
        break;
      case 'l':
        if ((e = word(s, "link")) != npos) link_heads_.push_back({i, e});
        return;
      default:
        return;
    }
    if (e != npos) resource_heads_.push_back({i, e});
  }

  // "border-radius\s*:\s*([^;}\"']+)", found at its "-"; matches do not overlap.
  void on_dash(size_t i) {
    if (i < 6 || i - 6 < radius_from_ || (p_[i - 6] | 0x20) != 'b') return;
    const size_t name_end = literal(i - 6, "border-radius");
    if (name_end == npos) return;
    const size_t colon = skip_space(name_end);
    if (at(colon) != ':') return;
    // The value starts after the white space; when nothing but a delimiter follows it,
    // the white space gives back its last character, which becomes the value.
    size_t v = colon + 1, last_space = npos;
    while (size_t k = space(v)) {
      last_space = v;
      v += k;
    }
    size_t end = v;
    while (end < n_ && p_[end] != ';' && p_[end] != '}' && p_[end] != '"' && p_[end] != '\'') ++end;
    if (end == v) {
      if (last_space == npos) return;
      v = last_space;
    }
    out_.radius.push_back(t_.substr(v, end - v));
    radius_from_ = end;
  }

  // U+2028, U+2029, and emoji in U+2600..U+27BF and U+2B00..U+2BFF.
  void on_e2(size_t i) {
    const unsigned char c1 = at(i + 1), c2 = at(i + 2);
    if (c1 == 0x80) {
      if (c2 == 0xA8 || c2 == 0xA9) line_end(i + 3);
      return;
    }
    if (!((c1 >= 0x98 && c1 <= 0x9E) || (c1 >= 0xAC && c1 <= 0xAF))) return;
    const char32_t cp = 0x2000 | ((c1 & 0x3Fu) << 6) | (c2 & 0x3Fu);
    if (cp == 0x2605 || cp == 0x2606) return;  // the allowed marks inside the ranges
    emoji_.set(cp < 0x2B00 ? cp - 0x2600 : 0x1C0 + (cp - 0x2B00));
  }

  // Emoji in U+1F000..U+1FAFF.
  void on_f0(size_t i) {
    const unsigned char c2 = at(i + 2);
    if (at(i + 1) != 0x9F || c2 > 0xAB) return;
    emoji_.set(0x2C0 + (((c2 & 0x3Fu) << 6) | (at(i + 3) & 0x3Fu)));
  }

  // "<head\b[^>]*\battr": one match per head whose tag holds the attribute before the
  // next ">"; a match ends after the last such attribute, as greedy "[^>]*" would.
  // The attribute is searched only inside tags, once per stretch up to a ">": heads
  // that share that ">" (an unclosed tag followed by more) reuse the result. The pattern
  // is only compiled for a document that has such tags; most have none.
  size_t count_tag_attr(const std::vector<Head>& heads, const Pattern& (*pattern)()) const {
    if (heads.empty()) return 0;
    const Pattern& attr = pattern();
    NextChar gt(t_, '>');
    size_t count = 0, from = 0;
    size_t region_end = npos;  // the ">" (or text end) last searched up to
    bool have_last = false;    // the last attribute found before it
    Pattern::Match last, a;
    for (const Head& h : heads) {
      if (h.start < from) continue;
      size_t g = gt.at(h.end);
      if (g == npos) g = n_;
      if (g != region_end) {
        region_end = g;
        have_last = false;
        const std::string_view region = t_.substr(0, g);  // attributes hold no ">"
        for (size_t k = h.end; k <= g && attr.find(region, k, a); k = a.end) {
          last = a;
          have_last = true;
        }
      }
      if (have_last && last.start >= h.end) {
        ++count;
        from = last.end;
      } else {
        from = h.end;
      }
    }
    return count;
  }

  // SECTION_ID and EMPTY_SECTION over the "<section id=\"" heads. Each pattern keeps
  // its own resume point, since their matches have different lengths.
  void sections() {
    NextChar quote(t_, '"'), gt(t_, '>');
    size_t id_from = 0, empty_from = 0;
    size_t tail_at = npos, tail_end = npos;  // the last tail tried, and where it ended
    for (const Head& h : section_heads_) {
      const bool for_id = h.start >= id_from, for_empty = h.start >= empty_from;
      if (!for_id && !for_empty) continue;
      const size_t q = quote.at(h.end);  // the id runs to the next quote
      if (q == npos || q == h.end) {     // none, or an empty id: no match here
        if (for_id) id_from = h.end;
        if (for_empty) empty_from = h.end;
        continue;
      }
      if (for_id) {
        ++out_.sections;
        id_from = q + 1;
      }
      if (!for_empty) continue;
      empty_from = h.end;
      const size_t g = gt.at(q + 1);
      if (g == npos) continue;
      if (g != tail_at) {
        tail_at = g;
        tail_end = literal(skip_space(g + 1), "</section>");
      }
      if (tail_end == npos) continue;
      out_.empty_sections.push_back(t_.substr(h.end, q - h.end));
      empty_from = tail_end;
    }
  }

  std::string_view t_;
  const unsigned char* p_;
  size_t n_;
  Scan out_;
  size_t line_ends_ = 0;
  size_t last_line_end_ = 0;  // where the last line ending ends
  size_t radius_from_ = 0;
  std::bitset<EMOJI_BITS> emoji_;
  std::vector<Head> resource_heads_, link_heads_, section_heads_;
};

}  // namespace

Scan scan(std::string_view text) { return Scanner(text).run(); }

uint64_t candidate_mask_bytewise(const unsigned char* p) {
  uint64_t m = 0;
  for (int k = 0; k < 64; ++k) m |= static_cast<uint64_t>(START[p[k]] != Start::None) << k;
  return m;
}

uint64_t candidate_mask(const unsigned char* p) {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<'), dash = _mm_set1_epi8('-');
  const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
  const __m128i e2 = _mm_set1_epi8(static_cast<char>(0xE2));
  const __m128i f0 = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i lf = _mm_set1_epi8(0x0A), fs = _mm_set1_epi8(0x1C);
  const __m128i three = _mm_set1_epi8(3), two = _mm_set1_epi8(2);
  uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    // 0x0A..0x0D and 0x1C..0x1E, as unsigned differences no larger than 3 and 2.
    const __m128i a = _mm_sub_epi8(v, lf), b = _mm_sub_epi8(v, fs);
    const __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(a, three), a),
                                      _mm_cmpeq_epi8(_mm_min_epu8(b, two), b));
    const __m128i ascii = _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, dash));
    const __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(v, c2),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, e2), _mm_cmpeq_epi8(v, f0)));
    const __m128i all = _mm_or_si128(ends, _mm_or_si128(ascii, lead));
    m |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(all))) << (16 * k);
  }
  return m;
#elif defined(Q9_SCAN_NEON)
  const uint8x16_t low = vld1q_u8(NIBBLES.low.data()), high = vld1q_u8(NIBBLES.high.data());
  const uint8x16_t nibble = vdupq_n_u8(0x0F);
  // Each flag weighted by its place within its 8 bytes, so that adding 8 of them packs them.
  static constexpr uint8_t PLACE[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t place = vld1q_u8(PLACE);
  const auto flags = [&](int k) {
    const uint8x16_t v = vld1q_u8(p + 16 * k);
    const uint8x16_t hit =
        vtstq_u8(vqtbl1q_u8(low, vandq_u8(v, nibble)), vqtbl1q_u8(high, vshrq_n_u8(v, 4)));
    return vandq_u8(hit, place);
  };
  // Three rounds of pairwise sums leave byte j holding the flags of bytes 8j..8j+7.
  uint8x16_t sum = vpaddq_u8(vpaddq_u8(flags(0), flags(1)), vpaddq_u8(flags(2), flags(3)));
  sum = vpaddq_u8(sum, sum);
  return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
#else
  return candidate_mask_bytewise(p);
#endif
}

}  // namespace q9::validate
