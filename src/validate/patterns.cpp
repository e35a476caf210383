// The PCRE2 patterns, compiled once and JIT-compiled.
#include "validate/patterns.hpp"

#include <stdexcept>

#include "core/utf8.hpp"

namespace q9::validate {

Pattern::Pattern(const char* source, bool caseless, bool jit) {
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
  if (jit) pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // the interpreter if JIT is absent
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

const Pattern& zeroish() {
  static const Pattern p("^" Q9_WS "*(0|0px|0%|0em|0rem|0pt)\\b", true, false);
  return p;
}
const Pattern& circular() {
  static const Pattern p("^" Q9_WS "*(50%|100%|9999px)", true, false);
  return p;
}

}  // namespace

const Pattern& resource_attr() {
  static const Pattern p("\\bsrc" Q9_WS "*=" Q9_WS "*[\"']https?://", true);
  return p;
}

const Pattern& link_attr() {
  static const Pattern p("\\bhref" Q9_WS "*=" Q9_WS "*[\"']https?://", true);
  return p;
}

bool is_zeroish(std::string_view value) {
  Pattern::Match m;
  return zeroish().find(value, 0, m, true);
}

bool is_circular(std::string_view value) {
  Pattern::Match m;
  return circular().find(value, 0, m, true);
}

bool is_word_at(std::string_view text, size_t i) {
  if (i >= text.size()) return false;
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x80)
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_';
  static const Pattern word("\\w", false, false);
  Pattern::Match m;
  return word.find(text, i, m, true);
}

}  // namespace q9::validate
