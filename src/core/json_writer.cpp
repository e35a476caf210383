// The indented JSON output form. Written here because no packaged writer matches it
// byte for byte (nlohmann's ASCII dump differs on reals near 1e16, big integers and
// NaN/Infinity): reals go through text::real_form, integers keep their digits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core/json.hpp"
#include "core/quoted_text.hpp"
#include "core/real_form.hpp"
#include "core/utf8.hpp"

namespace q9::json {
namespace {

char* put_u_escape(char* w, char32_t v) { return text::put_hex_escape(w, "\\u", v, 4); }

// How each byte is written, per encoding: 0 as itself (printable ASCII other than the
// quote and the backslash; in the UTF-8 form also DEL and the bytes of multi-byte
// characters), a letter for a short escape, 1 for a \uXXXX escape.
struct Escapes {
  char ascii[256] = {}, utf8[256] = {};
  constexpr Escapes() {
    for (int c = 0; c < 0x20; ++c) ascii[c] = utf8[c] = 1;
    for (int c = 0x7F; c < 0x100; ++c) ascii[c] = 1;
    const char* shorts = "\"\"\\\\\nn\rr\tt\bb\ff";
    for (const char* p = shorts; *p; p += 2) {
      ascii[static_cast<unsigned char>(p[0])] = utf8[static_cast<unsigned char>(p[0])] = p[1];
    }
  }
};
constexpr Escapes kEscapes;

// Whether any of the eight bytes in `x` needs escaping: a control character, '"' or
// '\\', and in the ASCII form DEL or any byte from 0x80.
constexpr bool needs_escape(uint64_t x, bool ascii) {
  constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  auto has_zero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  uint64_t found = ((x - 0x20 * kOnes) & ~x & kHigh) | has_zero(x ^ ('"' * kOnes)) |
                   has_zero(x ^ ('\\' * kOnes));
  if (ascii) found |= (x & kHigh) | has_zero(x ^ (0x7F * kOnes));
  return found != 0;
}

// Pieces handed to a sink are about this size: large writes, a small buffer.
constexpr size_t kPiece = 64 << 10;
// A long string is escaped this many bytes at a time.
constexpr size_t kRun = 4 << 10;

}  // namespace

Writer::Writer(Encoding encoding, Sink sink) : encoding_(encoding), sink_(std::move(sink)) {}

void Writer::_grow(size_t n) {
  capacity_ = std::max({capacity_ * 2, size_ + n, kPiece + kPiece / 4});
  auto grown = std::make_unique_for_overwrite<char[]>(capacity_);
  if (size_ > 0) std::memcpy(grown.get(), out_.get(), size_);
  out_ = std::move(grown);
}

inline char* Writer::_room(size_t n) {
  if (capacity_ - size_ < n) _grow(n);
  return out_.get() + size_;
}

void Writer::_put(std::string_view text) {
  std::memcpy(_room(text.size()), text.data(), text.size());
  size_ += text.size();
}

void Writer::_string(std::string_view s) {
  const char* escape = encoding_ == Encoding::Ascii ? kEscapes.ascii : kEscapes.utf8;
  const bool ascii = encoding_ == Encoding::Ascii;
  // Room for the quotes and the next few kilobytes at six bytes each, the most a byte
  // takes (a control character as \u00XX, a character of two to four bytes as one or two
  // \uXXXX in the ASCII form, a stray byte as \udcXX), and for a character running past.
  char* w = _room(std::min(s.size(), kRun) * 6 + 14);
  *w++ = '"';
  size_t i = 0;
  while (i < s.size()) {
    const size_t end = std::min(s.size(), i + kRun);
    if (i > 0) {  // a long string: room for its next part
      size_ = static_cast<size_t>(w - out_.get());
      w = _room((end - i) * 6 + 14);
    }
    while (i < end) {
      // Text that needs no escaping goes eight bytes at a time, then a byte at a time up
      // to the next byte to escape (or eight bytes on).
      uint64_t x;
      while (i + 8 <= end && (std::memcpy(&x, s.data() + i, 8), !needs_escape(x, ascii))) {
        std::memcpy(w, &x, 8);
        w += 8;
        i += 8;
      }
      const size_t stop = std::min(end, i + 8);
      while (i < stop && escape[static_cast<unsigned char>(s[i])] == 0) *w++ = s[i++];
      if (i == stop) continue;
      const auto c = static_cast<unsigned char>(s[i]);
      const char e = escape[c];
      if (e != 1) {
        *w++ = '\\';
        *w++ = e;
        ++i;
      } else if (c < 0x80) {  // another control character, or DEL in the ASCII form
        w = put_u_escape(w, c);
        ++i;
      } else {
        char32_t cp = utf8::decode(s, i);
        if (cp >= 0x10000) {
          cp -= 0x10000;
          w = put_u_escape(w, 0xD800 + (cp >> 10));
          w = put_u_escape(w, 0xDC00 + (cp & 0x3FF));
        } else {
          w = put_u_escape(w, cp);
        }
      }
    }
  }
  *w++ = '"';
  size_ = static_cast<size_t>(w - out_.get());
}

void Writer::_newline(size_t level) {
  char* w = _room(1 + level * 2);
  *w = '\n';
  std::memset(w + 1, ' ', level * 2);
  size_ += 1 + level * 2;
}

// Before a value: in an array, the separator and the element's own line.
void Writer::_element() {
  if (open_.empty() || open_.back().close != ']') return;
  if (!open_.back().empty) _put(",");
  open_.back().empty = false;
  _newline(open_.size());
}

void Writer::_hand_over() {
  if (sink_ && size_ >= kPiece) {
    sink_(std::string_view(out_.get(), size_));
    size_ = 0;
  }
}

void Writer::begin_object() {
  _element();
  _put("{");
  open_.push_back({'}', true});
}

void Writer::begin_array() {
  _element();
  _put("[");
  open_.push_back({']', true});
}

void Writer::end() {
  const Open o = open_.back();
  open_.pop_back();
  if (!o.empty) _newline(open_.size());
  _put(std::string_view(&o.close, 1));
  _hand_over();
}

void Writer::key(std::string_view key) {
  if (!open_.back().empty) _put(",");
  open_.back().empty = false;
  _newline(open_.size());
  _string(key);
  _put(": ");
}

void Writer::string(std::string_view text) {
  _element();
  _string(text);
  _hand_over();
}

void Writer::value(const Value& v) {
  switch (v.kind()) {
    case Kind::Array:
      begin_array();
      for (const Value& element : v.as_array()) value(element);
      end();
      return;
    case Kind::Object:
      begin_object();
      for (const auto& [k, member] : v.as_object()) {
        key(k);
        value(member);
      }
      end();
      return;
    case Kind::String:
      string(v.as_string());
      return;
    default:
      break;
  }
  _element();
  switch (v.kind()) {
    case Kind::Null:
      _put("null");
      break;
    case Kind::Boolean:
      _put(v.as_bool() ? "true" : "false");
      break;
    case Kind::Integer:
      _put(v.as_integer().digits);
      break;
    case Kind::Real: {
      const double d = v.as_real();
      if (std::isnan(d))
        _put("NaN");
      else if (std::isinf(d))
        _put(d > 0 ? "Infinity" : "-Infinity");
      else
        _put(text::real_form(d));
      break;
    }
    default:
      break;
  }
  _hand_over();
}

std::string Writer::finish() {
  std::string rest = size_ > 0 ? std::string(out_.get(), size_) : std::string();
  size_ = 0;
  if (!sink_) return rest;
  if (!rest.empty()) sink_(rest);
  return {};
}

std::string write(const Value& value, Encoding encoding) {
  Writer w(encoding);
  w.value(value);
  return w.finish();
}

}  // namespace q9::json
