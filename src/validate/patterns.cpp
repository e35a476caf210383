// The PCRE2 patterns, each compiled once. Those searched along a document are
// JIT-compiled; those only matched anchored at one place are not.
#include "validate/patterns.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

namespace q9::validate {
namespace {

std::string pcre2_message(int code) {
  PCRE2_UCHAR msg[256];
  pcre2_get_error_message(code, msg, sizeof msg);
  return reinterpret_cast<const char*>(msg);
}

using MatchData = std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)>;

MatchData match_data(const pcre2_code* code) {
  MatchData data(pcre2_match_data_create_from_pattern(code, nullptr), pcre2_match_data_free);
  if (!data) throw std::bad_alloc();
  return data;
}

// The leftmost match at or after `from`; false when there is none.
bool match(const pcre2_code* code, std::string_view text, size_t from, uint32_t options,
           pcre2_match_data* data, Pattern::Match& m) {
  const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                             PCRE2_NO_UTF_CHECK | options, data, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc < 0) throw std::runtime_error("pattern search failed: " + pcre2_message(rc));
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
  m = {ov[0], ov[1], ov[1], ov[1]};
  if (rc > 1 && ov[2] != PCRE2_UNSET) {
    m.group_start = ov[2];
    m.group_end = ov[3];
  }
  return true;
}

const Pattern& zeroish() {
  static const Pattern p("^" + space_class() + "*(0|0px|0%|0em|0rem|0pt)\\b", true, false);
  return p;
}
const Pattern& circular() {
  static const Pattern p("^" + space_class() + "*(50%|100%|9999px)", true, false);
  return p;
}

}  // namespace

Pattern::Pattern(const std::string& source, bool caseless, bool jit)
    : code_(nullptr, pcre2_code_free) {
  int err = 0;
  PCRE2_SIZE off = 0;
  const uint32_t opts = PCRE2_UTF | PCRE2_UCP | (caseless ? PCRE2_CASELESS : 0);
  code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), opts, &err,
                            &off, nullptr));
  if (!code_) throw std::logic_error("bad pattern " + source + ": " + pcre2_message(err));
  if (jit) pcre2_jit_compile(code_.get(), PCRE2_JIT_COMPLETE);  // the interpreter if JIT is absent
}

bool Pattern::find(std::string_view text, size_t from, Match& m, bool anchored) const {
  return match(code_.get(), text, from, anchored ? PCRE2_ANCHORED : 0,
               match_data(code_.get()).get(), m);
}

std::vector<Pattern::Match> Pattern::find_all(std::string_view text) const {
  std::vector<Match> out;
  const MatchData data = match_data(code_.get());
  Match m;
  for (size_t from = 0; from <= text.size() && match(code_.get(), text, from, 0, data.get(), m);) {
    out.push_back(m);
    if (m.end > m.start) {
      from = m.end;
    } else {  // an empty match: step over one code point
      if (m.end >= text.size()) break;
      from = m.end;
      utf8::decode(text, from);
    }
  }
  return out;
}

size_t Pattern::count(std::string_view text) const { return find_all(text).size(); }

std::string char_class(std::span<const utf8::Range> ranges) {
  std::string out = "[";
  for (const utf8::Range& r : ranges) {
    char buf[32];
    const auto first = static_cast<unsigned>(r.first), last = static_cast<unsigned>(r.last);
    if (first == last) {
      std::snprintf(buf, sizeof buf, "\\x{%x}", first);
    } else {
      std::snprintf(buf, sizeof buf, "\\x{%x}-\\x{%x}", first, last);
    }
    out += buf;
  }
  return out + "]";
}

const std::string& space_class() {
  static const std::string c = char_class(utf8::SPACE);
  return c;
}

const Pattern& resource_attr() {
  static const Pattern p("\\bsrc" + space_class() + "*=" + space_class() + "*[\"']https?://", true);
  return p;
}

const Pattern& link_attr() {
  static const Pattern p("\\bhref" + space_class() + "*=" + space_class() + "*[\"']https?://",
                         true);
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
