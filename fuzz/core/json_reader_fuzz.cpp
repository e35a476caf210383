// libFuzzer target: the JSON reader on arbitrary bytes, and the writers and text
// form on whatever it accepts (a written value must read back as the same value).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json.hpp"
#include "core/text_form.hpp"

namespace {

bool has_nan(const q9::json::Value& v) {
  using q9::json::Kind;
  switch (v.kind()) {
    case Kind::Real: return v.as_real() != v.as_real();
    case Kind::Array:
      for (const auto& x : v.as_array())
        if (has_nan(x)) return true;
      return false;
    case Kind::Object:
      for (const auto& [k, x] : v.as_object())
        if (has_nan(x)) return true;
      return false;
    default: return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  q9::json::Value v;
  try {
    v = q9::json::parse(text, "fuzz");
  } catch (const q9::json::ParseError&) {
    return 0;
  }
  std::string ascii = q9::json::write(v, q9::json::Encoding::Ascii);
  std::string utf8 = q9::json::write(v, q9::json::Encoding::Utf8);
  (void)q9::text::text_form(v);
  if (!has_nan(v)) {
    if (!(q9::json::parse(ascii) == v) || !(q9::json::parse(utf8) == v)) __builtin_trap();
  }
  return 0;
}
