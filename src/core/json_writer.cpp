// The indented JSON output form. Written here because no packaged writer matches it
// byte for byte (nlohmann's ASCII dump differs on reals near 1e16, big integers and
// NaN/Infinity): reals go through text::real_form, integers keep their digits.
#include <cmath>
#include <string>

#include "core/json.hpp"
#include "core/text_form.hpp"
#include "core/utf8.hpp"

namespace q9::json {
namespace {

void append_u_escape(std::string& out, char32_t v) { text::append_hex_escape(out, "\\u", v, 4); }

void write_string(std::string& out, std::string_view s, Encoding encoding) {
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    if (c < 0x20 || (c == 0x7F && encoding == Encoding::Ascii)) {
      append_u_escape(out, c);
      ++i;
    } else if (c < 0x80 || encoding == Encoding::Utf8) {
      out += static_cast<char>(c);
      ++i;
    } else {
      char32_t cp = utf8::decode(s, i);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        append_u_escape(out, 0xD800 + (cp >> 10));
        append_u_escape(out, 0xDC00 + (cp & 0x3FF));
      } else {
        append_u_escape(out, cp);
      }
    }
  }
  out += '"';
}

void newline(std::string& out, int level) {
  out += '\n';
  out.append(static_cast<size_t>(level) * 2, ' ');
}

void write_value(std::string& out, const Value& v, Encoding encoding, int level) {
  switch (v.kind()) {
    case Kind::Null: out += "null"; return;
    case Kind::Boolean: out += v.as_bool() ? "true" : "false"; return;
    case Kind::Integer: out += v.as_integer().digits; return;
    case Kind::Real: {
      double d = v.as_real();
      if (std::isnan(d)) out += "NaN";
      else if (std::isinf(d)) out += d > 0 ? "Infinity" : "-Infinity";
      else out += text::real_form(d);
      return;
    }
    case Kind::String: write_string(out, v.as_string(), encoding); return;
    case Kind::Array: {
      const Array& a = v.as_array();
      if (a.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      for (size_t k = 0; k < a.size(); ++k) {
        if (k) out += ',';
        newline(out, level + 1);
        write_value(out, a[k], encoding, level + 1);
      }
      newline(out, level);
      out += ']';
      return;
    }
    case Kind::Object: {
      const Object& o = v.as_object();
      if (o.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      for (const auto& [key, value] : o) {
        if (!first) out += ',';
        first = false;
        newline(out, level + 1);
        write_string(out, key, encoding);
        out += ": ";
        write_value(out, value, encoding, level + 1);
      }
      newline(out, level);
      out += '}';
      return;
    }
  }
}

}  // namespace

std::string write(const Value& value, Encoding encoding) {
  std::string out;
  write_value(out, value, encoding, 0);
  return out;
}

}  // namespace q9::json
