// Text as messages and terminals show it: quoted literals, one-line display, hex escapes,
// and the printable-character rule, which takes its Unicode 14 properties from PCRE2 (ICU 72
// and utf8proc follow Unicode 15 and give other answers for code points assigned since).
#define PCRE2_CODE_UNIT_WIDTH 8
#include "core/quoted_text.hpp"

#include <pcre2.h>

#include <stdexcept>

#include "core/utf8.hpp"

namespace q9::text {
namespace {

// Matches one code point that does not print as itself.
class NonPrintable {
 public:
  NonPrintable() {
    int err = 0;
    PCRE2_SIZE offset = 0;
    const char* pattern = "[\\p{Cc}\\p{Cf}\\p{Cs}\\p{Co}\\p{Cn}\\p{Zl}\\p{Zp}\\p{Zs}]";
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                          PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED, &err, &offset, nullptr);
    if (!code_) throw std::logic_error("cannot compile the printable-character class");
    data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  }
  ~NonPrintable() {
    pcre2_match_data_free(data_);
    pcre2_code_free(code_);
  }
  NonPrintable(const NonPrintable&) = delete;
  NonPrintable& operator=(const NonPrintable&) = delete;

  bool matches(char32_t cp) {
    std::string s;
    utf8::append(s, cp);
    // Lone surrogates cannot be encoded as UTF-8; they are never printable.
    if (cp >= 0xD800 && cp <= 0xDFFF) return true;
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(s.data()), s.size(), 0,
                         PCRE2_NO_UTF_CHECK, data_, nullptr);
    return rc > 0;
  }

 private:
  pcre2_code* code_ = nullptr;
  pcre2_match_data* data_ = nullptr;
};

}  // namespace

bool is_printable(char32_t cp) {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  if (cp > 0x10FFFF) return false;
  thread_local NonPrintable non_printable;
  return cp != 0x20 && !non_printable.matches(cp);
}

std::string quote_text(std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(s.size() + 2);
  out += quote;
  size_t i = 0;
  while (i < s.size()) {
    char32_t cp = utf8::decode(s, i);
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (is_printable(cp)) {
      utf8::append(out, cp);
    } else if (cp < 0x100) {
      append_hex_escape(out, "\\x", cp, 2);
    } else if (cp < 0x10000) {
      append_hex_escape(out, "\\u", cp, 4);
    } else {
      append_hex_escape(out, "\\U", cp, 8);
    }
  }
  out += quote;
  return out;
}

char* put_hex_escape(char* to, std::string_view prefix, char32_t value, int digits) {
  static constexpr char HEX[] = "0123456789abcdef";
  for (char c : prefix) *to++ = c;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *to++ = HEX[(value >> shift) & 0xF];
  return to;
}

void append_hex_escape(std::string& out, std::string_view prefix, char32_t value, int digits) {
  const size_t at = out.size();
  out.resize(at + prefix.size() + static_cast<size_t>(digits));
  put_hex_escape(out.data() + at, prefix, value, digits);
}

std::string list_text(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t k = 0; k < items.size(); ++k) {
    if (k) out += ", ";
    out += quote_text(items[k]);
  }
  out += ']';
  return out;
}

std::string one_line(std::string_view text) {
  const std::string s = utf8::escape_stray_bytes(text);
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const size_t start = i;
    const char32_t c = utf8::decode(s, i);
    const bool shown = c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && c != 0x2028 &&
                       c != 0x2029 && !(c >= 0x202A && c <= 0x202E) &&
                       !(c >= 0x2066 && c <= 0x2069) && !(c >= 0xD800 && c <= 0xDFFF);
    if (shown) {
      out.append(s, start, i - start);
    } else if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else {
      append_hex_escape(out, "\\u", c, 4);
    }
  }
  return out;
}

}  // namespace q9::text
