// The contract patterns. The tag patterns ("<img ... src=", "<section id=...>") are
// not run as single expressions: a backtracking engine retries "[^>]*" from every
// opening that never closes, which is quadratic. They are split into a head, an
// attribute and a tail, each matched by PCRE2, and joined by a scan that looks up
// the next ">" or quote once per position.
#include "validate/patterns.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "core/utf8.hpp"

namespace q9::validate {

Pattern::Pattern(const char* source, bool caseless) {
  int err = 0;
  PCRE2_SIZE off = 0;
  uint32_t opts = PCRE2_UTF | PCRE2_UCP | (caseless ? PCRE2_CASELESS : 0);
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source), PCRE2_ZERO_TERMINATED, opts, &err,
                        &off, nullptr);
  if (!code_) {
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(err, msg, sizeof msg);
    throw std::logic_error(std::string("bad pattern ") + source + ": " +
                           reinterpret_cast<char*>(msg));
  }
  pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // falls back to the interpreter if absent
}

Pattern::~Pattern() { pcre2_code_free(code_); }

namespace {
struct MatchData {
  explicit MatchData(const pcre2_code* code)
      : md(pcre2_match_data_create_from_pattern(code, nullptr)) {
    if (!md) throw std::bad_alloc();
  }
  ~MatchData() { pcre2_match_data_free(md); }
  pcre2_match_data* md;
};
}  // namespace

bool Pattern::find(std::string_view text, size_t from, Match& m, bool anchored) const {
  MatchData data(code_);
  int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                       PCRE2_NO_UTF_CHECK | (anchored ? PCRE2_ANCHORED : 0), data.md, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc < 0) {
    PCRE2_UCHAR msg[256];
    pcre2_get_error_message(rc, msg, sizeof msg);
    throw std::runtime_error(std::string("pattern search failed: ") + reinterpret_cast<char*>(msg));
  }
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data.md);
  m.start = ov[0];
  m.end = ov[1];
  if (rc > 1 && ov[2] != PCRE2_UNSET) {
    m.group_start = ov[2];
    m.group_end = ov[3];
  } else {
    m.group_start = m.group_end = m.end;
  }
  return true;
}

std::vector<Pattern::Match> Pattern::find_all(std::string_view text) const {
  std::vector<Match> out;
  MatchData data(code_);
  size_t from = 0;
  while (from <= text.size()) {
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                         PCRE2_NO_UTF_CHECK, data.md, nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) {
      PCRE2_UCHAR msg[256];
      pcre2_get_error_message(rc, msg, sizeof msg);
      throw std::runtime_error(std::string("pattern search failed: ") +
                               reinterpret_cast<char*>(msg));
    }
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data.md);
    Match m{ov[0], ov[1], ov[1], ov[1]};
    if (rc > 1 && ov[2] != PCRE2_UNSET) {
      m.group_start = ov[2];
      m.group_end = ov[3];
    }
    out.push_back(m);
    if (m.end > m.start) {
      from = m.end;
    } else {  // an empty match: step over one code point
      if (m.end >= text.size()) break;
      size_t i = m.end;
      utf8::decode(text, i);
      from = i;
    }
  }
  return out;
}

size_t Pattern::count(std::string_view text) const { return find_all(text).size(); }

namespace {

const Pattern& radius() {
  static const Pattern p("border-radius" Q9_WS "*:" Q9_WS "*([^;}\"']+)", true);
  return p;
}
const Pattern& zeroish() {
  static const Pattern p("^" Q9_WS "*(0|0px|0%|0em|0rem|0pt)\\b", true);
  return p;
}
const Pattern& circular() {
  static const Pattern p("^" Q9_WS "*(50%|100%|9999px)", true);
  return p;
}
const Pattern& resource_head() {
  static const Pattern p("<(script|img|iframe|source|video|audio|embed|object)\\b", true);
  return p;
}
const Pattern& resource_attr() {
  static const Pattern p("\\bsrc" Q9_WS "*=" Q9_WS "*[\"']https?://", true);
  return p;
}
const Pattern& link_head() {
  static const Pattern p("<link\\b", true);
  return p;
}
const Pattern& link_attr() {
  static const Pattern p("\\bhref" Q9_WS "*=" Q9_WS "*[\"']https?://", true);
  return p;
}
const Pattern& svg_tag() {
  static const Pattern p("<svg\\b", true);
  return p;
}
const Pattern& section_head() {
  static const Pattern p("<section id=\"", true);
  return p;
}
const Pattern& section_tail() {
  static const Pattern p(Q9_WS "*</section>", true);
  return p;
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
      found_ = p ? static_cast<size_t>(static_cast<const char*>(p) - text_.data())
                 : std::string_view::npos;
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

// "<head\b[^>]*\battr": one match per head whose tag holds the attribute before the
// next ">"; a match ends after the last such attribute, as greedy "[^>]*" would.
// The attribute is searched only inside tags, once per stretch up to a ">": heads
// that share that ">" (an unclosed tag followed by more) reuse the result.
size_t count_tag_attr(std::string_view text, const Pattern& head, const Pattern& attr) {
  NextChar gt(text, '>');
  size_t n = 0, from = 0;
  size_t region_end = std::string_view::npos;  // the ">" (or text end) last searched up to
  bool have_last = false;                      // the last attribute found before it
  Pattern::Match last;
  Pattern::Match h, a;
  while (from <= text.size() && head.find(text, from, h)) {
    size_t g = gt.at(h.end);
    if (g == std::string_view::npos) g = text.size();
    if (g != region_end) {
      region_end = g;
      have_last = false;
      const std::string_view region = text.substr(0, g);  // attributes hold no ">"
      for (size_t at = h.end; at <= g && attr.find(region, at, a); at = a.end) {
        last = a;
        have_last = true;
      }
    }
    if (have_last && last.start >= h.end) {
      ++n;
      from = last.end;
    } else {
      from = h.end;
    }
  }
  return n;
}

// Runs one section pattern over the "<section id=\"" heads (found once per text):
// `on_section(id_start, closing_quote)` returns where the next match may start.
template <typename OnSection>
void scan_sections(std::string_view text, const std::vector<Pattern::Match>& heads,
                   OnSection on_section) {
  NextChar quote(text, '"');
  size_t from = 0;
  for (const Pattern::Match& h : heads) {
    if (h.start < from) continue;
    const size_t q = quote.at(h.end);
    if (q == std::string_view::npos || q == h.end) {
      from = h.end;
      continue;
    }
    from = on_section(h.end, q);
  }
}

}  // namespace

std::vector<std::string> radius_values(std::string_view text) {
  std::vector<std::string> out;
  for (const Pattern::Match& m : radius().find_all(text)) {
    out.emplace_back(text.substr(m.group_start, m.group_end - m.group_start));
  }
  return out;
}

bool is_zeroish(std::string_view value) {
  Pattern::Match m;
  return zeroish().find(value, 0, m, true);
}

bool is_circular(std::string_view value) {
  Pattern::Match m;
  return circular().find(value, 0, m, true);
}

std::vector<char32_t> emoji_found(std::string_view text) {
  // Every emoji range lies in U+2600..U+2BFF (lead byte E2) or U+1F000..U+1FAFF
  // (F0 9F); everything else is skipped a byte at a time without decoding.
  static constexpr char32_t ALLOWED_MARKS[] = {0x2192, 0x2190, 0x2194, 0x2191, 0x2193, 0x2605,
                                               0x2606, 0x2122, 0x00A9, 0x00AE, 0x00A7};
  std::vector<char32_t> out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0xE2 && p[i] != 0xF0) continue;
    if (i + 1 < n && !(p[i] == 0xF0 ? p[i + 1] == 0x9F
                                    : (p[i + 1] >= 0x98 && p[i + 1] <= 0x9E) ||
                                          (p[i + 1] >= 0xAC && p[i + 1] <= 0xAF))) {
      continue;
    }
    size_t at = i;
    const char32_t cp = utf8::decode(text, at);
    const bool emoji = (cp >= 0x1F300 && cp <= 0x1FAFF) || (cp >= 0x1F000 && cp <= 0x1F2FF) ||
                       (cp >= 0x2600 && cp <= 0x27BF) || (cp >= 0x2B00 && cp <= 0x2BFF) ||
                       (cp >= 0x1F1E6 && cp <= 0x1F1FF);
    if (emoji && std::find(std::begin(ALLOWED_MARKS), std::end(ALLOWED_MARKS), cp) ==
                     std::end(ALLOWED_MARKS)) {
      out.push_back(cp);
      if (out.size() > 4096) {  // keep the list short on emoji-heavy text
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
      }
    }
    i = at - 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

size_t count_resource_loads(std::string_view text) {
  return count_tag_attr(text, resource_head(), resource_attr());
}

size_t count_css_links(std::string_view text) {
  return count_tag_attr(text, link_head(), link_attr());
}

size_t count_svg_tags(std::string_view text) { return svg_tag().count(text); }

std::vector<Pattern::Match> section_heads(std::string_view text) {
  return section_head().find_all(text);
}

size_t count_sections(std::string_view text, const std::vector<Pattern::Match>& heads) {
  size_t n = 0;
  scan_sections(text, heads, [&](size_t, size_t q) {
    ++n;
    return q + 1;
  });
  return n;
}

std::vector<std::string> empty_section_ids(std::string_view text,
                                           const std::vector<Pattern::Match>& heads) {
  std::vector<std::string> ids;
  NextChar gt(text, '>');
  size_t tail_at = std::string_view::npos;  // the last tail tried, and its outcome
  bool tail_ok = false;
  Pattern::Match tail;
  scan_sections(text, heads, [&](size_t id_start, size_t q) -> size_t {
    const size_t g = gt.at(q + 1);
    if (g == std::string_view::npos) return id_start;
    if (g != tail_at) {
      tail_at = g;
      tail_ok = section_tail().find(text, g + 1, tail, true);
    }
    if (!tail_ok) return id_start;
    ids.emplace_back(text.substr(id_start, q - id_start));
    return tail.end;
  });
  return ids;
}

size_t count_sections(std::string_view text) { return count_sections(text, section_heads(text)); }

std::vector<std::string> empty_section_ids(std::string_view text) {
  return empty_section_ids(text, section_heads(text));
}

size_t count_lines(std::string_view text) {
  // Line endings: \n \r \r\n \v \f U+001C..U+001E (single bytes), U+0085 (C2 85),
  // U+2028 and U+2029 (E2 80 A8, E2 80 A9).
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t endings = 0, after_last = 0;
  for (size_t i = 0; i < n; ++i) {
    static constexpr auto CANDIDATE = [] {
      std::array<bool, 256> t{};
      for (int c : {0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0xC2, 0xE2}) t[c] = true;
      return t;
    }();
    const unsigned char b = p[i];
    if (!CANDIDATE[b]) continue;
    size_t len = 0;
    if ((b >= 0x0A && b <= 0x0D) || (b >= 0x1C && b <= 0x1E)) {
      len = (b == '\r' && i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
    } else if (b == 0xC2 && i + 1 < n && p[i + 1] == 0x85) {
      len = 2;
    } else if (b == 0xE2 && i + 2 < n && p[i + 1] == 0x80 &&
               (p[i + 2] == 0xA8 || p[i + 2] == 0xA9)) {
      len = 3;
    } else {
      continue;
    }
    ++endings;
    i += len - 1;
    after_last = i + 1;
  }
  return endings + (after_last < n ? 1 : 0);
}

}  // namespace q9::validate
