// libFuzzer target: render() over arbitrary JSON, as the whole record and as the value
// of one chosen key, and _table() over arbitrary arrays. render() must either throw
// RenderError or return the same complete, well-formed UTF-8 document every time.
// Run: render_fuzz -dict=fuzz/report/render.dict
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json.hpp"
#include "core/utf8.hpp"
#include "report/blocks.hpp"
#include "report/render.hpp"

namespace {

using q9::json::Value;

void check_render(const Value& data) {
  std::string doc;
  try {
    doc = q9::report::render(data);
  } catch (const q9::report::RenderError&) {
    return;
  }
  if (!doc.starts_with("<!DOCTYPE html>\n") || !doc.ends_with("</div></div></body></html>")) {
    __builtin_trap();
  }
  if (doc.size() < 7700) __builtin_trap();  // every fixed piece is present
  if (q9::utf8::find_invalid(doc)) __builtin_trap();
  if (q9::report::render(data) != doc) __builtin_trap();
}

constexpr const char* kKeys[] = {"sections",  "hero_stats", "sources",         "company",
                                 "generated", "founded",    "subtitle_suffix", "industry"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  Value v;
  try {
    v = q9::json::parse(text, "fuzz");
  } catch (const q9::json::ParseError&) {
    return 0;
  }
  check_render(v);
  check_render(q9::json::Object{{kKeys[selector % 8], v}});
  if (v.is_array()) {
    try {
      (void)q9::report::_table(v.as_array(), v.as_array(), {0, 2});
    } catch (const q9::report::RenderError&) {
    }
  }
  return 0;
}
