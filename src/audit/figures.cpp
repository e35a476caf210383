// The figure reader, a scanner written here: PCRE2 patterns fell short, since which number
// is a figure depends on what stands on both sides of it (a currency before, a scale, percent
// or another figure of a range after), and one forward pass with a look-back of a few bytes
// keeps it linear on any input. Tests: figures_test.cpp; fuzzing: fuzz/audit/.
#include "audit/figures.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>

#include "core/utf8.hpp"

namespace q9::audit {
namespace {

bool _digit(std::string_view t, size_t i) { return i < t.size() && t[i] >= '0' && t[i] <= '9'; }
bool _upper(char c) { return c >= 'A' && c <= 'Z'; }

// A letter or a combining mark (Thai writes vowels as marks), or the underscore: what makes a
// number part of a word. Currency signs, such as ฿, are not.
bool _letter(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  if (c >= 0xD800 && c <= 0xDFFF) return false;  // a stray byte
  // The letter categories (Lu Ll Lt Lm Lo) and the mark categories (Mn Mc Me) are contiguous.
  const int category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
  return category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_ME;
}
bool _word(char32_t c) { return _letter(c) || c == '_' || (c >= '0' && c <= '9'); }

// The code point at i (0 at the end) and the code point before i (0 at the start), with where
// that one starts.
char32_t _at(std::string_view t, size_t i) {
  if (i >= t.size()) return 0;
  if (static_cast<unsigned char>(t[i]) < 0x80) return static_cast<unsigned char>(t[i]);
  return utf8::decode(t, i);
}
char32_t _before(std::string_view t, size_t i, size_t* start = nullptr) {
  if (i == 0 || i > t.size()) {
    if (start) *start = 0;
    return 0;
  }
  size_t s = i - 1;
  if (static_cast<unsigned char>(t[s]) < 0x80) {
    if (start) *start = s;
    return static_cast<unsigned char>(t[s]);
  }
  for (int n = 0; n < 3 && s > 0 && (static_cast<unsigned char>(t[s]) & 0xC0) == 0x80; ++n) --s;
  size_t j = s;
  char32_t c = utf8::decode(t, j);
  if (j != i) {  // not one well-formed sequence ending at i: a stray byte
    s = i - 1;
    c = 0xDC00 + static_cast<unsigned char>(t[s]);
  }
  if (start) *start = s;
  return c;
}

// Bytes of the one space that may stand between a currency, a number and its units: an
// ordinary, no-break, narrow no-break or thin space.
size_t _space(std::string_view t, size_t i) {
  if (i >= t.size()) return 0;
  if (t[i] == ' ') return 1;
  const auto at = [&](size_t k) {
    return i + k < t.size() ? static_cast<unsigned char>(t[i + k]) : 0;
  };
  if (at(0) == 0xC2 && at(1) == 0xA0) return 2;  // U+00A0
  if (at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xAF || at(2) == 0x89))
    return 3;  // U+202F, U+2009
  return 0;
}
// The same ending at i: where it starts, or i when there is none.
size_t _space_before(std::string_view t, size_t i) {
  if (i >= 1 && t[i - 1] == ' ') return i - 1;
  if (i >= 2 && _space(t, i - 2) == 2) return i - 2;
  if (i >= 3 && _space(t, i - 3) == 3) return i - 3;
  return i;
}
// Bytes of a digit-group separator at i: a comma or one of the spaces above but the ordinary.
size_t _group(std::string_view t, size_t i) {
  if (i < t.size() && t[i] == ',') return 1;
  return i < t.size() && t[i] == ' ' ? 0 : _space(t, i);
}

// Whether `word` (lower case when `caseless`) is written at t[i]. Called for every word a
// number may be followed by, so the first byte is tried before the rest.
bool _starts(std::string_view t, size_t i, std::string_view word, bool caseless = false) {
  if (i + word.size() > t.size()) return false;
  const char fold = caseless ? 0x20 : 0;
  if ((t[i] | fold) != word[0]) return false;
  for (size_t k = 1; k < word.size(); ++k) {
    if ((t[i + k] | fold) != word[k]) return false;
  }
  return true;
}

// ISO 4217 codes in use, less those that are common capitalised words (ALL, CUP, SOS, TOP),
// and RMB, the usual name of the yuan.
constexpr std::string_view CODES =
    "AED AFN AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BGN BHD BIF BMD BND BOB BRL BSD BTN BWP "
    "BYN BZD CAD CDF CHF CLP CNY COP CRC CVE CZK DJF DKK DOP DZD EGP ERN ETB EUR FJD FKP GBP "
    "GEL GHS GIP GMD GNF GTQ GYD HKD HNL HTG HUF IDR ILS INR IQD IRR ISK JMD JOD JPY KES KGS "
    "KHR KMF KPW KRW KWD KYD KZT LAK LBP LKR LRD LSL LYD MAD MDL MGA MKD MMK MNT MOP MRU MUR "
    "MVR MWK MXN MYR MZN NAD NGN NIO NOK NPR NZD OMR PAB PEN PGK PHP PKR PLN PYG QAR RON RSD "
    "RUB RWF SAR SBD SCR SDG SEK SGD SHP SLE SLL SRD SSP STN SVC SYP SZL THB TJS TMT TND TRY "
    "TTD TWD TZS UAH UGX USD UYU UZS VES VND VUV WST XAF XCD XOF XPF YER ZAR ZMW ZWL RMB";

// Whether the three capitals `code` are one of the three-letter codes of `list`: a look-up in
// a table of every such code, made once per list.
template <const std::string_view& list>
bool _listed(std::string_view code) {
  static const std::bitset<26 * 26 * 26> table = [] {
    std::bitset<26 * 26 * 26> t;
    for (size_t i = 0; i + 3 <= list.size(); i += 4) {
      t.set(static_cast<size_t>((list[i] - 'A') * 676 + (list[i + 1] - 'A') * 26 + list[i + 2] -
                                'A'));
    }
    return t;
  }();
  return table.test(
      static_cast<size_t>((code[0] - 'A') * 676 + (code[1] - 'A') * 26 + code[2] - 'A'));
}

// A currency code of three capitals at [i, i + 3), standing as a word of its own.
std::string _code_at(std::string_view t, size_t i) {
  if (i + 3 > t.size() || !_upper(t[i]) || !_upper(t[i + 1]) || !_upper(t[i + 2])) return "";
  if (_letter(_before(t, i)) || _letter(_at(t, i + 3))) return "";
  std::string code(t.substr(i, 3));
  if (!_listed<CODES>(code)) return "";
  return code == "RMB" ? "CNY" : code;
}

// The signs a currency is written with after or before a number.
struct Sign {
  std::string_view text, currency;
};
constexpr Sign SYMBOLS[] = {{"$", "$"}, {"€", "EUR"}, {"£", "GBP"}, {"¥", "¥"}, {"฿", "THB"}};
// Letters before "$" that name the country of a dollar (or the real, R$).
constexpr Sign DOLLAR_PREFIXES[] = {{"US", "USD"}, {"AU", "AUD"}, {"A", "AUD"}, {"CA", "CAD"},
                                    {"C", "CAD"},  {"SG", "SGD"}, {"S", "SGD"}, {"HK", "HKD"},
                                    {"NZ", "NZD"}, {"NT", "TWD"}, {"R", "BRL"}, {"MX", "MXN"}};

// Scale words after a number, longest first; `spaced` ones may follow a space, and Thai ones
// need no word boundary after them (Thai writes no spaces between words).
struct Scale {
  std::string_view word;
  int power;
  bool spaced, caseless, thai;
};
constexpr Scale SCALES[] = {{"พันล้าน", 9, true, false, true},    {"ล้าน", 6, true, false, true},
                            {"thousand", 3, true, true, false}, {"trillion", 12, true, true, false},
                            {"million", 6, true, true, false},  {"billion", 9, true, true, false},
                            {"mn", 6, true, true, false},       {"bn", 9, true, true, false},
                            {"tn", 12, true, true, false},      {"k", 3, false, false, false},
                            {"K", 3, false, false, false},      {"m", 6, false, false, false},
                            {"M", 6, false, false, false},      {"b", 9, false, false, false},
                            {"B", 9, false, false, false}};

struct Unit {
  std::string_view word;
  Kind kind;
};
constexpr Unit PERCENTS[] = {{"%", Kind::Percent},
                             {"percentage points", Kind::Points},
                             {"percentage point", Kind::Points},
                             {"per cent", Kind::Percent},
                             {"percent", Kind::Percent},
                             {"pp", Kind::Points}};

// Prefixes of standards whose numbers are names, not quantities ("ISO 9001").
constexpr std::string_view STANDARDS[] = {"ISO",  "IEC",  "EN",  "DIN", "ASTM",
                                          "ANSI", "IEEE", "BS",  "JIS", "TIS",
                                          "IATF", "NFPA", "SAE", "UL",  "GB"};

// A number as written: its digits (separators dropped) and how it was written.
struct Number {
  size_t begin = 0, end = 0;
  std::string digits;
  int64_t fraction = 0;  // digits after the point
  size_t run = 0;        // digits before the first separator or point
  bool grouped = false;
  bool code = false;  // dotted like a version or address ("1.2.3"): not a figure
};

Number _number(std::string_view t, size_t i) {
  Number n;
  n.begin = i;
  while (_digit(t, i)) n.digits += t[i++];
  n.run = n.digits.size();
  if (n.run <= 3) {
    for (;;) {
      const size_t g = _group(t, i);
      if (g == 0 || !_digit(t, i + g) || !_digit(t, i + g + 1) || !_digit(t, i + g + 2) ||
          _digit(t, i + g + 3)) {
        break;
      }
      n.digits.append(t, i + g, 3);
      n.grouped = true;
      i += g + 3;
    }
  }
  if (i < t.size() && t[i] == '.' && _digit(t, i + 1)) {
    ++i;
    while (_digit(t, i)) {
      n.digits += t[i++];
      ++n.fraction;
    }
    if (i < t.size() && t[i] == '.' && _digit(t, i + 1)) {
      n.code = true;
      while (_digit(t, i) || (t[i] == '.' && _digit(t, i + 1))) ++i;
    }
  }
  n.end = i;
  return n;
}

// A figure being read: the number, what was found around it, and where it ends.
struct Reading {
  Number number;
  size_t begin = 0, end = 0;
  bool negative = false, parenthesized = false, skip = false;
  int scale = 0;
  Kind kind = Kind::Amount;
  std::string currency;
  bool currency_before = false;
};

// Currency and sign before the number starting at `d`, read backwards a few bytes.
void _prefix(std::string_view t, size_t d, Reading& r) {
  size_t b = d;
  size_t s = 0;
  char32_t c = _before(t, b, &s);
  auto sign = [&](char32_t sc, size_t at) {
    if (sc == '-' || sc == 0x2212 || sc == 0x2013) {
      r.negative = true;
    } else if (sc != '+') {
      return false;
    }
    // A dash joined to a word or number before it is a hyphen ("COVID-19"), not a sign.
    if (_word(_before(t, at))) {
      r.skip = sc != '+';
      return false;
    }
    b = at;
    return true;
  };
  bool signed_ = sign(c, s);
  if (r.skip) return;
  // A currency: a sign or a code, directly or across one space.
  size_t cur_end = _space_before(t, b);
  auto currency_at = [&](size_t end) {
    for (const Sign& sym : SYMBOLS) {
      if (end < sym.text.size() || t.compare(end - sym.text.size(), sym.text.size(), sym.text))
        continue;
      size_t start = end - sym.text.size();
      std::string cur(sym.currency);
      if (sym.text == "$") {
        for (const Sign& p : DOLLAR_PREFIXES) {
          if (start >= p.text.size() &&
              t.compare(start - p.text.size(), p.text.size(), p.text) == 0 &&
              !_letter(_before(t, start - p.text.size()))) {
            start -= p.text.size();
            cur = p.currency;
            break;
          }
        }
      }
      if (_word(_before(t, start))) return false;
      r.currency = cur;
      b = start;
      return true;
    }
    if (end >= 3) {
      std::string code = _code_at(t, end - 3);
      if (!code.empty()) {
        r.currency = code;
        b = end - 3;
        return true;
      }
    }
    return false;
  };
  // A currency ends in "$", the last byte of € £ ¥ ฿, or a capital.
  auto may_end = [&](size_t end) {
    if (end == 0) return false;
    const unsigned char c = static_cast<unsigned char>(t[end - 1]);
    return c == '$' || c == 0xAC || c == 0xA3 || c == 0xA5 || c == 0xBF || _upper(t[end - 1]);
  };
  bool found =
      (may_end(b) && currency_at(b)) || (cur_end != b && may_end(cur_end) && currency_at(cur_end));
  if (found) {
    r.currency_before = true;
    if (!signed_) {
      size_t at = 0;
      c = _before(t, b, &at);
      sign(c, at);
      r.skip = false;  // "EUR-5": the dash after a code is still a sign
    }
  } else if (!signed_) {
    // Joined to a word or another number: "A320", "2023-24", "1,2345", "24/7", "9001:2015".
    if (_word(c)) {
      r.skip = true;
      return;
    }
    if ((c == '.' || c == ',' || c == ':' || c == '/' || c == '-' || c == 0x2013) &&
        _word(_before(t, s))) {
      r.skip = true;
      return;
    }
    // The number of a standard: "ISO 9001".
    const size_t w_end = _space_before(t, b);
    if (w_end != b && w_end > 0 && _upper(t[w_end - 1])) {
      for (std::string_view std_name : STANDARDS) {
        if (w_end >= std_name.size() &&
            t.compare(w_end - std_name.size(), std_name.size(), std_name) == 0 &&
            !_word(_before(t, w_end - std_name.size()))) {
          r.skip = true;
          return;
        }
      }
    }
  }
  if (b > 0 && t[b - 1] == '(') {
    r.parenthesized = true;
    --b;
  }
  r.begin = b;
}

// A currency written before a number from `i` on, forwards (the second figure of a range).
size_t _currency_forward(std::string_view t, size_t i, Reading& r) {
  for (const Sign& sym : SYMBOLS) {
    if (_starts(t, i, sym.text)) {
      r.currency = sym.currency;
      r.currency_before = true;
      return i + sym.text.size();
    }
  }
  std::string code = _code_at(t, i);
  if (!code.empty()) {
    r.currency = code;
    r.currency_before = true;
    i += 3;
    return i + _space(t, i);
  }
  return i;
}

// Whether t[i] may begin a scale, multiple, percent or currency after a number.
bool _may_follow(std::string_view t, size_t i) {
  if (i >= t.size()) return false;
  const unsigned char c = static_cast<unsigned char>(t[i]);
  if (_upper(static_cast<char>(c))) return true;
  // The first bytes of k m b t(housand) p(ercent) x %, £ ¥, ×, Thai and ฿, €.
  constexpr std::string_view FIRST = "kmbtpx%\xC2\xC3\xE0\xE2";
  return FIRST.find(static_cast<char>(c)) != std::string_view::npos;
}

// Scale, multiple, percent and currency after the number; sets r.end.
void _suffix(std::string_view t, Reading& r) {
  size_t i = r.number.end;
  // "5,000m²" is an area, not a scale.
  auto bounded = [&](size_t end) {
    const char32_t c = _at(t, end);
    return !_letter(c) && !_digit(t, end) && c != 0xB2 && c != 0xB3;
  };
  // Most numbers are followed by none of the words below: their first bytes are tried first.
  const size_t sp0 = _space(t, i);
  if (!_may_follow(t, i) && !(sp0 && _may_follow(t, i + sp0))) {
    if (_letter(_at(t, i))) r.skip = true;
    r.end = i;
    return;
  }
  for (int n = 0; n < (sp0 ? 2 : 1); ++n) {
    const size_t at = n ? i + sp0 : i;
    const char c = at < t.size() ? t[at] : 0;
    if (!(c == 'k' || c == 'K' || (c | 0x20) == 'm' || (c | 0x20) == 'b' || (c | 0x20) == 't' ||
          c == '\xE0'))
      continue;
    const Scale* hit = nullptr;
    for (const Scale& s : SCALES) {
      if ((at != i && !s.spaced) || !_starts(t, at, s.word, s.caseless)) continue;
      if (!s.thai && !bounded(at + s.word.size())) continue;
      hit = &s;
      break;
    }
    if (hit) {
      r.scale = hit->power;
      i = at + hit->word.size();
      break;
    }
  }
  // A multiple ("2.1x") is an amount.
  if ((_starts(t, i, "x") || _starts(t, i, "×")) && bounded(i + (t[i] == 'x' ? 1 : 2))) {
    i += t[i] == 'x' ? 1 : 2;
  }
  for (const Unit& u : PERCENTS) {
    const size_t sp = _space(t, i);
    bool hit = false;
    for (size_t at : {i, i + sp}) {
      if ((at != i && sp == 0) || !_starts(t, at, u.word, u.word != "%")) continue;
      if (u.word != "%" && !bounded(at + u.word.size())) continue;
      r.kind = u.kind;
      i = at + u.word.size();
      hit = true;
      break;
    }
    if (hit) break;
  }
  if (r.kind == Kind::Amount && r.currency.empty()) {
    const size_t sp = _space(t, i);
    for (size_t at : {i, i + sp}) {
      if (_starts(t, at, "บาท")) {
        r.currency = "THB";
        i = at + std::strlen("บาท");
        break;
      }
      std::string code = _code_at(t, at);
      // Not when the code begins the next figure ("2024 EUR 5m").
      if (!code.empty() && !_digit(t, at + 3 + _space(t, at + 3))) {
        r.currency = code;
        i = at + 3;
        break;
      }
      bool sym = false;
      for (const Sign& s : SYMBOLS) {
        if (s.text != "$" && _starts(t, at, s.text)) {
          r.currency = s.currency;
          i = at + s.text.size();
          sym = true;
          break;
        }
      }
      if (sym) break;
    }
  }
  // Letters straight after: part of a word ("3rd", "5G", "10km").
  if (_letter(_at(t, i))) r.skip = true;
  r.end = i;
}

bool _is_year_or_small(const Reading& r) {
  const Number& n = r.number;
  if (r.scale || r.kind != Kind::Amount || !r.currency.empty() || n.fraction || n.grouped)
    return false;
  if (n.digits.size() == 4 && !r.negative && n.digits >= "1900" && n.digits <= "2099") return true;
  const size_t first = n.digits.find_first_not_of('0');
  return first == std::string::npos || n.digits.size() - first <= 2;
}

Figure _figure(const Reading& r) {
  Figure f;
  f.begin = r.begin;
  f.end = r.end;
  f.scale = r.scale;
  f.kind = r.kind;
  f.currency = r.currency;
  f.parenthesized = r.parenthesized;
  f.precision = r.scale - r.number.fraction;
  f.value = make_decimal(r.negative || r.parenthesized, r.number.digits, f.precision);
  return f;
}

// An ISO date starting at i: YYYY-MM or YYYY-MM-DD. Returns its end, or i.
size_t _date(std::string_view t, size_t i, const Number& n) {
  if (n.digits.size() != 4 || n.end != i + 4 || n.grouped || n.fraction) return i;
  size_t j = n.end;
  if (j < t.size() && t[j] == '-' && _digit(t, j + 1) && _digit(t, j + 2) && !_digit(t, j + 3)) {
    j += 3;
    if (j < t.size() && t[j] == '-' && _digit(t, j + 1) && _digit(t, j + 2) && !_digit(t, j + 3))
      j += 3;
    return j;
  }
  return i;
}

// A citation mark "[12]", "[1, 2]", "[3–5]" at i: returns its end, or i.
size_t _citation(std::string_view t, size_t i) {
  size_t j = i + 1;
  bool digit = false;
  while (j < t.size()) {
    const char c = t[j];
    if (c >= '0' && c <= '9') {
      digit = true;
      ++j;
    } else if (c == ',' || c == ' ' || c == '-') {
      ++j;
    } else if (_starts(t, j, "–")) {
      j += 3;
    } else {
      break;
    }
  }
  return digit && j < t.size() && t[j] == ']' ? j + 1 : i;
}

// The second figure of a range after `first`, if one follows: "12–15%", "$5-6bn".
bool _range(std::string_view t, const Reading& first, Reading& second) {
  size_t i = first.end;
  if (first.parenthesized) return false;
  if (_starts(t, i, "-")) {
    ++i;
  } else {
    // An en dash with a space on both sides or neither ("−4.5% –6.5%" is two figures).
    const size_t before = _space(t, i);
    if (!_starts(t, i + before, "–")) return false;
    i += before + 3;
    const size_t after = _space(t, i);
    if ((before == 0) != (after == 0)) return false;
    i += after;
  }
  i = _currency_forward(t, i, second);
  if (!_digit(t, i)) return false;
  second.number = _number(t, i);
  second.begin = first.begin;
  _suffix(t, second);
  return !second.number.code;
}

}  // namespace

void read_figures(std::string_view t, const std::function<void(const Figure&)>& each) {
  size_t i = 0;
  const size_t n = t.size();
  while (i < n) {
    while (i < n && !(t[i] >= '0' && t[i] <= '9') && t[i] != '[') ++i;
    if (i >= n) break;
    if (t[i] == '[') {
      const size_t end = _citation(t, i);
      i = end == i ? i + 1 : end;
      continue;
    }
    Reading a;
    a.number = _number(t, i);
    if (a.number.code) {
      i = a.number.end;
      continue;
    }
    const size_t date_end = _date(t, i, a.number);
    if (date_end != i) {
      i = date_end;
      continue;
    }
    _prefix(t, i, a);
    if (a.skip) {
      i = a.number.end;
      continue;
    }
    _suffix(t, a);
    if (a.skip) {
      i = a.number.end;
      continue;
    }
    Reading b;
    const bool range = _range(t, a, b);
    if (range && !b.skip) {
      // Each takes the units the other has and it lacks.
      if (b.currency.empty()) b.currency = a.currency;
      if (!a.scale && a.kind == Kind::Amount && (a.currency.empty() || a.currency_before)) {
        a.scale = b.scale;
        a.kind = b.kind;
        if (a.currency.empty()) a.currency = b.currency;
      }
      a.end = b.end;
      if (!_is_year_or_small(a)) each(_figure(a));
      if (!_is_year_or_small(b)) each(_figure(b));
      i = b.end;
      continue;
    }
    if (a.parenthesized) {
      if (a.end < n && t[a.end] == ')') {
        ++a.end;
      } else {
        a.parenthesized = false;
        a.begin += 1;
      }
    }
    if (!_is_year_or_small(a)) each(_figure(a));
    i = std::max(a.end, a.number.end);
  }
}

std::string unit_text(const Figure& f) {
  if (f.kind == Kind::Percent) return "%";
  if (f.kind == Kind::Points) return "pp";
  return f.currency;
}

}  // namespace q9::audit
