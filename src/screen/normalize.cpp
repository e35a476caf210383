// Name normalisation for the screen. utf8proc gives the compatibility form, case folding
// and the accents' removal per code point; ASCII, the bulk of every list, never reaches it.
#include "screen/normalize.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <vector>

#include "core/utf8.hpp"

namespace q9::screen {
namespace {

// Legal forms, as tokens come out of the first step. A form of several tokens is left
// out only whole; single ones wherever they stand.
constexpr std::string_view LEGAL_SINGLE[] = {
    "ab",          "ad",   "ag",  "as",           "bhd",  "bv",  "cjsc", "co",  "corp",
    "corporation", "gmbh", "inc", "incorporated", "jsc",  "kft", "kg",   "kk",  "limited",
    "llc",         "llp",  "ltd", "nv",           "ojsc", "ooo", "oy",   "pao", "pcl",
    "pjsc",        "plc",  "pte", "pty",          "sa",   "sab", "sae",  "sal", "sarl",
    "sas",         "sdn",  "spa", "srl",          "sro",  "tbk", "zao",  "zrt"};
const std::vector<std::vector<std::string_view>> LEGAL_MULTI = {
    {"public", "company", "limited"},
    {"public", "limited", "company"},
    {"limited", "liability", "company"},
    {"joint", "stock", "company"},
    {"company", "limited"},
};

constexpr bool is_apostrophe(char32_t c) {
  return c == '\'' || c == '`' || c == 0x2018 || c == 0x2019 || c == 0x02BC || c == 0x02B9 ||
         c == 0x00B4 || c == 0x02BB;
}

// The first step: tokens separated by one space, no legal forms dropped yet.
class Tokenizer {
 public:
  explicit Tokenizer(std::string& out) : out_(out) {}

  void ascii(char c) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out_ += c;
      ++token_, ++since_dot_;
    } else if (c == '.' && since_dot_ == 1) {
      since_dot_ = 0;  // "S.A.": the letters stay one token
    } else if (c != '\'' && c != '`') {
      brk();
    }
  }
  void other(char32_t c) {
    if (is_apostrophe(c)) return;
    const utf8proc_category_t cat = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    if (cat >= UTF8PROC_CATEGORY_LU && cat <= UTF8PROC_CATEGORY_LO) {
      utf8::append(out_, c);
    } else if (cat >= UTF8PROC_CATEGORY_ND && cat <= UTF8PROC_CATEGORY_NO) {
      utf8::append(out_, c);
    } else {
      brk();
      return;
    }
    ++token_, ++since_dot_;
  }
  void brk() {
    if (token_ != 0) out_ += ' ';
    token_ = since_dot_ = 0;
  }

 private:
  std::string& out_;
  size_t token_ = 0, since_dot_ = 0;
};

void first_step(std::string_view name, std::string& out) {
  Tokenizer t(out);
  for (size_t i = 0; i < name.size();) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    if (b < 0x80) {
      t.ascii(static_cast<char>(b));
      ++i;
      continue;
    }
    const char32_t cp = utf8::decode(name, i);
    if (cp >= 0xD800 && cp <= 0xDFFF) {  // a stray byte
      t.brk();
      continue;
    }
    utf8proc_int32_t parts[16];
    int boundclass = UTF8PROC_BOUNDCLASS_START;
    const utf8proc_ssize_t n = utf8proc_decompose_char(
        static_cast<utf8proc_int32_t>(cp), parts, 16,
        static_cast<utf8proc_option_t>(UTF8PROC_COMPAT | UTF8PROC_CASEFOLD | UTF8PROC_STRIPMARK |
                                       UTF8PROC_DECOMPOSE),
        &boundclass);
    if (n < 0 || n > 16) {
      t.brk();
      continue;
    }
    for (utf8proc_ssize_t k = 0; k < n; ++k) {
      const char32_t p = static_cast<char32_t>(parts[k]);
      if (p < 0x80) {
        t.ascii(static_cast<char>(p));
      } else {
        t.other(p);
      }
    }
  }
  t.brk();
}

bool single_legal(std::string_view token) {
  return std::binary_search(std::begin(LEGAL_SINGLE), std::end(LEGAL_SINGLE), token);
}

// Appends `token` with each "e" after "a", "o" or "u" left out, then one space.
void put_key(std::string_view token, std::string& out) {
  char prev = 0;
  for (char c : token) {
    if (c == 'e' && (prev == 'a' || prev == 'o' || prev == 'u')) {
      prev = 0;  // "uee": only the first e goes
      continue;
    }
    out += c;
    prev = c;
  }
  out += ' ';
}

}  // namespace

void append_tokens(std::string_view name, std::string& out) {
  thread_local std::string raw;
  thread_local std::vector<std::string_view> tokens;
  thread_local std::vector<char> keep;
  raw.clear();
  first_step(name, raw);
  tokens.clear();
  for (size_t start = 0; start < raw.size();) {
    const size_t end = raw.find(' ', start);
    tokens.push_back(std::string_view(raw).substr(start, end - start));
    start = end + 1;
  }
  keep.assign(tokens.size(), 1);
  size_t kept = tokens.size();
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!keep[i]) continue;
    for (const auto& form : LEGAL_MULTI) {
      if (i + form.size() <= tokens.size() &&
          std::equal(form.begin(), form.end(), tokens.begin() + static_cast<long>(i))) {
        for (size_t k = 0; k < form.size(); ++k) keep[i + k] = 0;
        kept -= form.size();
        break;
      }
    }
    if (keep[i] && single_legal(tokens[i])) {
      keep[i] = 0;
      --kept;
    }
  }
  const bool all = kept == 0;  // a name of legal forms only keeps them
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (all || keep[i]) put_key(tokens[i], out);
  }
}

std::string tokens_of(std::string_view name) {
  std::string out;
  append_tokens(name, out);
  return out;
}

}  // namespace q9::screen
