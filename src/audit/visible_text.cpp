// Visible text of a section body, written here: gumbo (archived upstream) and libxml2's HTML
// parser (HTML 4 references only, and ICU and zlib to link into the wheel) fell short, and
// the audit needs no tree: only the text between tags, as the HTML tokenizer delimits it.
// Tests: figures_test.cpp (the visible-text rows).
#include "audit/visible_text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/utf8.hpp"

namespace q9::audit {
namespace {

bool _alpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool _alnum(char c) { return _alpha(c) || (c >= '0' && c <= '9'); }
bool _html_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// Named references: those a dossier's text plausibly holds (spaces, dashes, currency,
// punctuation, the Latin-1 letters). `legacy` ones are decoded without their ";" too, as
// browsers do; an unknown name stays as written, as it does in a browser.
struct Named {
  std::string_view name, text;
  bool legacy;
};
constexpr Named NAMED[] = {
    {"amp", "&", true},
    {"lt", "<", true},
    {"gt", ">", true},
    {"quot", "\"", true},
    {"apos", "'", false},
    {"nbsp", "\u00A0", true},
    {"ensp", "\u2002", false},
    {"emsp", "\u2003", false},
    {"thinsp", "\u2009", false},
    {"ThinSpace", "\u2009", false},
    {"hairsp", "\u200A", false},
    {"numsp", "\u2007", false},
    {"puncsp", "\u2008", false},
    {"NonBreakingSpace", "\u00A0", false},
    {"ZeroWidthSpace", "\u200B", false},
    {"zwj", "\u200D", false},
    {"zwnj", "\u200C", false},
    {"lrm", "\u200E", false},
    {"rlm", "\u200F", false},
    {"shy", "\u00AD", true},
    {"ndash", "\u2013", false},
    {"mdash", "\u2014", false},
    {"minus", "\u2212", false},
    {"hyphen", "\u2010", false},
    {"dash", "\u2010", false},
    {"plus", "+", false},
    {"plusmn", "\u00B1", true},
    {"times", "\u00D7", true},
    {"divide", "\u00F7", true},
    {"percnt", "%", false},
    {"permil", "\u2030", false},
    {"dollar", "$", false},
    {"cent", "\u00A2", true},
    {"pound", "\u00A3", true},
    {"yen", "\u00A5", true},
    {"euro", "\u20AC", false},
    {"curren", "\u00A4", true},
    {"comma", ",", false},
    {"period", ".", false},
    {"colon", ":", false},
    {"semi", ";", false},
    {"lpar", "(", false},
    {"rpar", ")", false},
    {"lsqb", "[", false},
    {"rsqb", "]", false},
    {"lbrack", "[", false},
    {"rbrack", "]", false},
    {"num", "#", false},
    {"sol", "/", false},
    {"excl", "!", false},
    {"quest", "?", false},
    {"hellip", "\u2026", false},
    {"middot", "\u00B7", true},
    {"bull", "\u2022", false},
    {"deg", "\u00B0", true},
    {"copy", "\u00A9", true},
    {"reg", "\u00AE", true},
    {"trade", "\u2122", false},
    {"sect", "\u00A7", true},
    {"para", "\u00B6", true},
    {"laquo", "\u00AB", true},
    {"raquo", "\u00BB", true},
    {"lsquo", "\u2018", false},
    {"rsquo", "\u2019", false},
    {"ldquo", "\u201C", false},
    {"rdquo", "\u201D", false},
    {"sbquo", "\u201A", false},
    {"bdquo", "\u201E", false},
    {"prime", "\u2032", false},
    {"Prime", "\u2033", false},
    {"frac12", "\u00BD", true},
    {"frac14", "\u00BC", true},
    {"frac34", "\u00BE", true},
    {"sup1", "\u00B9", true},
    {"sup2", "\u00B2", true},
    {"sup3", "\u00B3", true},
    {"micro", "\u00B5", true},
    {"larr", "\u2190", false},
    {"rarr", "\u2192", false},
    {"uarr", "\u2191", false},
    {"darr", "\u2193", false},
    {"harr", "\u2194", false},
    {"le", "\u2264", false},
    {"ge", "\u2265", false},
    {"ne", "\u2260", false},
    {"asymp", "\u2248", false},
    {"infin", "\u221E", false},
    {"iexcl", "\u00A1", true},
    {"iquest", "\u00BF", true},
    {"ordf", "\u00AA", true},
    {"ordm", "\u00BA", true},
    {"szlig", "\u00DF", true},
    {"Agrave", "\u00C0", true},
    {"Aacute", "\u00C1", true},
    {"Acirc", "\u00C2", true},
    {"Atilde", "\u00C3", true},
    {"Auml", "\u00C4", true},
    {"Aring", "\u00C5", true},
    {"AElig", "\u00C6", true},
    {"Ccedil", "\u00C7", true},
    {"Egrave", "\u00C8", true},
    {"Eacute", "\u00C9", true},
    {"Ecirc", "\u00CA", true},
    {"Euml", "\u00CB", true},
    {"Igrave", "\u00CC", true},
    {"Iacute", "\u00CD", true},
    {"Icirc", "\u00CE", true},
    {"Iuml", "\u00CF", true},
    {"ETH", "\u00D0", true},
    {"Ntilde", "\u00D1", true},
    {"Ograve", "\u00D2", true},
    {"Oacute", "\u00D3", true},
    {"Ocirc", "\u00D4", true},
    {"Otilde", "\u00D5", true},
    {"Ouml", "\u00D6", true},
    {"Oslash", "\u00D8", true},
    {"Ugrave", "\u00D9", true},
    {"Uacute", "\u00DA", true},
    {"Ucirc", "\u00DB", true},
    {"Uuml", "\u00DC", true},
    {"Yacute", "\u00DD", true},
    {"THORN", "\u00DE", true},
    {"agrave", "\u00E0", true},
    {"aacute", "\u00E1", true},
    {"acirc", "\u00E2", true},
    {"atilde", "\u00E3", true},
    {"auml", "\u00E4", true},
    {"aring", "\u00E5", true},
    {"aelig", "\u00E6", true},
    {"ccedil", "\u00E7", true},
    {"egrave", "\u00E8", true},
    {"eacute", "\u00E9", true},
    {"ecirc", "\u00EA", true},
    {"euml", "\u00EB", true},
    {"igrave", "\u00EC", true},
    {"iacute", "\u00ED", true},
    {"icirc", "\u00EE", true},
    {"iuml", "\u00EF", true},
    {"eth", "\u00F0", true},
    {"ntilde", "\u00F1", true},
    {"ograve", "\u00F2", true},
    {"oacute", "\u00F3", true},
    {"ocirc", "\u00F4", true},
    {"otilde", "\u00F5", true},
    {"ouml", "\u00F6", true},
    {"oslash", "\u00F8", true},
    {"ugrave", "\u00F9", true},
    {"uacute", "\u00FA", true},
    {"ucirc", "\u00FB", true},
    {"uuml", "\u00FC", true},
    {"yacute", "\u00FD", true},
    {"thorn", "\u00FE", true},
    {"yuml", "\u00FF", true},
};
constexpr size_t LONGEST_NAME = 16, LONGEST_LEGACY = 6;

// The entry named `name`, found in NAMED sorted once by name.
const Named* _named(std::string_view name) {
  static const std::vector<const Named*> sorted = [] {
    std::vector<const Named*> v;
    for (const Named& n : NAMED) v.push_back(&n);
    std::sort(v.begin(), v.end(), [](const Named* a, const Named* b) { return a->name < b->name; });
    return v;
  }();
  auto it = std::lower_bound(sorted.begin(), sorted.end(), name,
                             [](const Named* n, std::string_view key) { return n->name < key; });
  return it != sorted.end() && (*it)->name == name ? *it : nullptr;
}

// What browsers put for the numeric references to C1 code points: windows-1252's letters.
constexpr char32_t C1[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                             0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

// Tags that do not break the text (a figure may run across them, "<b>5.44</b>bn").
constexpr std::string_view INLINE[] = {"a",    "abbr",   "b",    "bdi", "bdo",  "cite", "code",
                                       "data", "del",    "dfn",  "em",  "font", "i",    "ins",
                                       "kbd",  "mark",   "nobr", "q",   "s",    "samp", "small",
                                       "span", "strong", "time", "u",   "var",  "wbr"};

class Text {
 public:
  explicit Text(std::string& out) : out_(out) {}
  // Text as a browser lays it out: HTML white space runs collapse into one space, or into
  // one break where a break falls inside the run.
  void put(std::string_view s) {
    for (char c : s) {
      if (_html_space(c)) {
        gap_ = std::max(gap_, 1);
      } else {
        flush_gap();
        out_ += c;
      }
    }
  }
  void put_decoded(std::string_view s) {  // a reference's text: its spaces are not collapsed
    flush_gap();
    out_ += s;
  }
  void brk() { gap_ = 2; }
  void flush_gap() {
    if (gap_ && !out_.empty()) out_ += gap_ == 2 ? BREAK : ' ';
    gap_ = 0;
  }

 private:
  std::string& out_;
  int gap_ = 0;  // 1: a space is due, 2: a break
};

std::string _lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return out;
}

// A character reference at html[i] == '&': decodes it into `text`, returns its end, or i when
// it is none (the "&" is then text).
size_t _reference(std::string_view h, size_t i, Text& text) {
  size_t j = i + 1;
  if (j < h.size() && h[j] == '#') {
    ++j;
    const bool hex = j < h.size() && (h[j] | 0x20) == 'x';
    if (hex) ++j;
    const size_t start = j;
    uint32_t cp = 0;
    while (j < h.size()) {
      const char c = h[j];
      int d = c >= '0' && c <= '9'                            ? c - '0'
              : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                              : -1;
      if (d < 0) break;
      cp = std::min<uint32_t>(cp * (hex ? 16 : 10) + static_cast<uint32_t>(d), 0x110000);
      ++j;
    }
    if (j == start) return i;
    if (j < h.size() && h[j] == ';') ++j;
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x80 && cp <= 0x9F) cp = C1[cp - 0x80];
    std::string s;
    utf8::append(s, cp);
    text.put_decoded(s);
    return j;
  }
  size_t end = j;
  while (end < h.size() && end - j < LONGEST_NAME && _alnum(h[end])) ++end;
  if (end == j) return i;
  const std::string_view name = h.substr(j, end - j);
  if (end < h.size() && h[end] == ';') {
    if (const Named* n = _named(name)) {
      text.put_decoded(n->text);
      return end + 1;
    }
  }
  // Else the longest legacy name the run begins with.
  for (size_t len = std::min(name.size(), LONGEST_LEGACY); len >= 2; --len) {
    const Named* n = _named(name.substr(0, len));
    if (n && n->legacy) {
      text.put_decoded(n->text);
      return j + len;
    }
  }
  return i;
}

// The end of a tag whose name ends at i: past its ">" (or the end of the text), reading
// attribute values only to find where they end.
size_t _tag_end(std::string_view h, size_t i) {
  while (i < h.size()) {
    const char c = h[i];
    if (c == '>') return i + 1;
    if (_html_space(c) || c == '/') {
      ++i;
      continue;
    }
    // An attribute name (its first character may be anything), then perhaps "=" and a value.
    ++i;
    while (i < h.size() && !_html_space(h[i]) && h[i] != '/' && h[i] != '>' && h[i] != '=') ++i;
    while (i < h.size() && _html_space(h[i])) ++i;
    if (i < h.size() && h[i] == '=') {
      ++i;
      while (i < h.size() && _html_space(h[i])) ++i;
      if (i < h.size() && (h[i] == '"' || h[i] == '\'')) {
        const size_t close = h.find(h[i], i + 1);
        i = close == std::string_view::npos ? h.size() : close + 1;
      } else {
        while (i < h.size() && !_html_space(h[i]) && h[i] != '>') ++i;
      }
    }
  }
  return h.size();
}

// Where a raw-text element (script, style) named `name` ends: past its end tag.
size_t _raw_text_end(std::string_view h, size_t i, std::string_view name) {
  for (;;) {
    const size_t lt = h.find("</", i);
    if (lt == std::string_view::npos) return h.size();
    const size_t n = lt + 2;
    if (n + name.size() <= h.size() && _lower(h.substr(n, name.size())) == name &&
        (n + name.size() == h.size() || _html_space(h[n + name.size()]) ||
         h[n + name.size()] == '/' || h[n + name.size()] == '>')) {
      return _tag_end(h, n + name.size());
    }
    i = lt + 2;
  }
}

size_t _comment_end(std::string_view h, size_t i) {  // i after "<!--"
  if (i < h.size() && h[i] == '>') return i + 1;
  if (h.compare(i, 2, "->") == 0) return i + 2;
  for (size_t j = i;;) {
    const size_t dd = h.find("--", j);
    if (dd == std::string_view::npos) return h.size();
    if (h.compare(dd + 2, 1, ">") == 0) return dd + 3;
    if (h.compare(dd + 2, 2, "!>") == 0) return dd + 4;
    j = dd + 1;
  }
}

}  // namespace

std::string visible_text(std::string_view h) {
  std::string out;
  out.reserve(h.size() / 2);
  Text text(out);
  size_t i = 0;
  while (i < h.size()) {
    // The run up to the next tag or reference goes out as it is.
    size_t next = i;
    while (next < h.size() && h[next] != '<' && h[next] != '&') ++next;
    text.put(h.substr(i, next - i));
    i = next;
    if (i >= h.size()) break;
    if (h[i] == '&') {
      const size_t end = _reference(h, i, text);
      if (end == i) {
        text.put("&");
        ++i;
      } else {
        i = end;
      }
      continue;
    }
    // h[i] == '<'
    if (h.compare(i, 4, "<!--") == 0) {
      i = _comment_end(h, i + 4);
      continue;
    }
    if (i + 1 < h.size() && (h[i + 1] == '!' || h[i + 1] == '?')) {  // doctype, CDATA, ...
      const size_t gt = h.find('>', i);
      i = gt == std::string_view::npos ? h.size() : gt + 1;
      continue;
    }
    const bool closing = i + 1 < h.size() && h[i + 1] == '/';
    const size_t name_start = i + (closing ? 2 : 1);
    if (name_start >= h.size() || !_alpha(h[name_start])) {
      if (closing) {  // "</>" is dropped; "</ x>" is a comment to ">"
        const size_t gt = h.find('>', i);
        i = gt == std::string_view::npos ? h.size() : gt + 1;
      } else {
        text.put("<");
        ++i;
      }
      continue;
    }
    size_t name_end = name_start;
    while (name_end < h.size() && !_html_space(h[name_end]) && h[name_end] != '/' &&
           h[name_end] != '>')
      ++name_end;
    const std::string name = _lower(h.substr(name_start, name_end - name_start));
    i = _tag_end(h, name_end);
    if (std::find(std::begin(INLINE), std::end(INLINE), name) == std::end(INLINE)) text.brk();
    if (!closing && (name == "script" || name == "style" || name == "template")) {
      i = _raw_text_end(h, i, name);
    }
  }
  return out;
}

}  // namespace q9::audit
