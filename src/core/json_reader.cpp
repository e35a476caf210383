// The JSON reader. Written here because no packaged library gives this dialect as it
// stands (nlohmann, RapidJSON, simdjson, Boost.JSON: BOM, NaN/Infinity, big integers and
// 1e400 all differ): standard JSON plus the constants NaN, Infinity and -Infinity;
// integers keep their exact digits; a repeated key keeps its first position and takes
// the last value; a leading byte-order mark, raw control characters in strings and
// escapes that leave a lone surrogate are errors; nesting is capped at 999 levels.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "core/json.hpp"
#include "core/utf8.hpp"

namespace q9::json {
namespace {

constexpr int kMaxDepth = 999;

// Flags the bytes of an eight-byte word that end a run of ordinary string text: '"',
// '\\' and control characters. A byte is found by the borrow of subtracting 1 from its
// difference with '"' or '\\', or 0x20 from itself; borrows only travel upwards, so the
// lowest flagged byte is always a real one (higher ones may not be). Little-endian only.
inline uint64_t run_enders(uint64_t w) {
  constexpr uint64_t ONES = 0x0101010101010101ULL, HIGH = 0x8080808080808080ULL;
  const uint64_t quote = w ^ (ONES * '"'), slash = w ^ (ONES * '\\');
  return (((quote - ONES) & ~quote) | ((slash - ONES) & ~slash) | ((w - ONES * 0x20) & ~w)) & HIGH;
}

class Reader {
 public:
  Reader(std::string_view text, std::string_view source) : s_(text), source_(source) {}

  Value read_document() {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") fail(0, "unexpected byte-order mark at the start");
    if (auto bad = utf8::find_invalid(s_)) {
      fail(*bad, "invalid UTF-8 at byte " + std::to_string(*bad));
    }
    skip_ws();
    Value v = read_value(0);
    skip_ws();
    if (i_ != s_.size()) fail(i_, "unexpected data after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(size_t at, const std::string& problem) const {
    // Line and column of `at`, the column counted in characters from 1.
    size_t line = 1, col = 1;
    for (size_t k = 0; k < at && k < s_.size(); ++k) {
      if (s_[k] == '\n') {
        ++line;
        col = 1;
      } else if ((static_cast<unsigned char>(s_[k]) & 0xC0) != 0x80) {
        ++col;
      }
    }
    throw ParseError(std::string(source_) + ": line " + std::to_string(line) + " column " +
                     std::to_string(col) + ": " + problem);
  }

  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }

  bool take(std::string_view word) {
    if (s_.substr(i_, word.size()) == word) {
      i_ += word.size();
      return true;
    }
    return false;
  }

  Value read_value(int depth) {
    if (i_ >= s_.size()) fail(i_, "expected a value");
    char c = s_[i_];
    switch (c) {
      case '{':
        return read_object(depth + 1);
      case '[':
        return read_array(depth + 1);
      case '"':
        return Value(read_string());
      case 't':
        if (take("true")) return Value(true);
        break;
      case 'f':
        if (take("false")) return Value(false);
        break;
      case 'n':
        if (take("null")) return Value(nullptr);
        break;
      case 'N':
        if (take("NaN")) return Value(std::numeric_limits<double>::quiet_NaN());
        break;
      case 'I':
        if (take("Infinity")) return Value(std::numeric_limits<double>::infinity());
        break;
      case '-':
        if (take("-Infinity")) return Value(-std::numeric_limits<double>::infinity());
        return read_number();
      default:
        if (c >= '0' && c <= '9') return read_number();
        break;
    }
    fail(i_, "expected a value");
  }

  void enter(int depth, size_t at) const {
    if (depth > kMaxDepth) fail(at, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
  }

  Value read_array(int depth) {
    enter(depth, i_);
    ++i_;  // [
    Array items;
    skip_ws();
    if (i_ < s_.size() && s_[i_] == ']') {
      ++i_;
      return Value(std::move(items));
    }
    for (;;) {
      skip_ws();
      items.push_back(read_value(depth));
      skip_ws();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        return Value(std::move(items));
      }
      fail(i_, "expected ',' or ']'");
    }
  }

  Value read_object(int depth) {
    enter(depth, i_);
    ++i_;  // {
    Object members;
    skip_ws();
    if (i_ < s_.size() && s_[i_] == '}') {
      ++i_;
      return Value(std::move(members));
    }
    for (;;) {
      skip_ws();
      if (i_ >= s_.size() || s_[i_] != '"') fail(i_, "expected a key in double quotes");
      std::string key = read_string();
      skip_ws();
      if (i_ >= s_.size() || s_[i_] != ':') fail(i_, "expected ':'");
      ++i_;
      skip_ws();
      members.set(std::move(key), read_value(depth));
      skip_ws();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        return Value(std::move(members));
      }
      fail(i_, "expected ',' or '}'");
    }
  }

  unsigned read_hex4(size_t at) {
    if (i_ + 4 > s_.size()) fail(at, "invalid \\u escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      char h = s_[i_ + k];
      v <<= 4;
      if (h >= '0' && h <= '9')
        v |= h - '0';
      else if (h >= 'a' && h <= 'f')
        v |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F')
        v |= h - 'A' + 10;
      else
        fail(at, "invalid \\u escape");
    }
    i_ += 4;
    return v;
  }

  // The string starting at the quote at i_. Most of a report record is long strings:
  // their text is copied and searched eight bytes at a time into a scratch buffer as
  // large as the document (escapes only get shorter, and bytes copied past the end of a
  // run are overwritten), then taken from there in one piece.
  std::string read_string() {
    const size_t start = i_;
    ++i_;  // opening quote
    if (!scratch_) scratch_ = std::make_unique_for_overwrite<char[]>(s_.size() + 8);
    char* const buf = scratch_.get();
    char* w = buf;
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
    const size_t n = s_.size();
    for (;;) {
      if constexpr (std::endian::native == std::endian::little) {
        for (; i_ + 8 <= n; i_ += 8, w += 8) {
          uint64_t word;
          std::memcpy(&word, p + i_, 8);
          std::memcpy(w, &word, 8);
          if (const uint64_t hit = run_enders(word)) {
            const size_t k = static_cast<size_t>(std::countr_zero(hit)) / 8;
            i_ += k;
            w += k;
            break;
          }
        }
      }
      while (i_ < n && p[i_] != '"' && p[i_] != '\\' && p[i_] >= 0x20) *w++ = s_[i_++];
      if (i_ >= n) fail(start, "unterminated string");
      if (s_[i_] == '"') {
        ++i_;
        return std::string(buf, w);
      }
      if (s_[i_] != '\\') fail(i_, "control character in string");
      w = utf8::encode(w, read_escape(start));
    }
  }

  // The escape at i_ (a backslash) of the string opened at `start`; moves past it.
  char32_t read_escape(size_t start) {
    const size_t esc = i_;
    if (++i_ >= s_.size()) fail(start, "unterminated string");
    switch (s_[i_++]) {
      case '"':
        return '"';
      case '\\':
        return '\\';
      case '/':
        return '/';
      case 'b':
        return '\b';
      case 'f':
        return '\f';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      case 'u':
        break;
      default:
        fail(esc, "invalid escape");
    }
    char32_t cp = read_hex4(esc);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A high surrogate must be followed by an escaped low surrogate.
      if (s_.substr(i_, 2) != "\\u") fail(esc, "lone surrogate in \\u escape");
      const size_t save = i_;
      i_ += 2;
      const char32_t lo = read_hex4(save);
      if (lo < 0xDC00 || lo > 0xDFFF) fail(esc, "lone surrogate in \\u escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      fail(esc, "lone surrogate in \\u escape");
    }
    return cp;
  }

  Value read_number() {
    const size_t start = i_;
    if (s_[i_] == '-') ++i_;
    auto digits = [&] {
      size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ - from;
    };
    if (i_ >= s_.size() || !(s_[i_] >= '0' && s_[i_] <= '9')) fail(start, "expected a value");
    if (s_[i_] == '0') {
      ++i_;
    } else {
      digits();
    }
    bool real = false;
    if (i_ < s_.size() && s_[i_] == '.') {
      size_t dot = i_;
      ++i_;
      if (digits() == 0) {
        i_ = dot;  // "1." is the integer 1 followed by stray data
      } else {
        real = true;
      }
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      size_t mark = i_;
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (digits() == 0) {
        i_ = mark;
      } else {
        real = true;
      }
    }
    std::string text(s_.substr(start, i_ - start));
    if (real) {
      // strtod rounds correctly and gives inf or 0 outside the range of a double.
      return Value(std::strtod(text.c_str(), nullptr));
    }
    if (text == "-0") text = "0";
    return Value(Integer{std::move(text)});
  }

  std::string_view s_;
  std::string_view source_;
  size_t i_ = 0;
  std::unique_ptr<char[]> scratch_;  // decoded string text, see read_string()
};

}  // namespace

Value parse(std::string_view text, std::string_view source) {
  return Reader(text, source).read_document();
}

}  // namespace q9::json
