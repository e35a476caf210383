// libFuzzer target: the figure reader and the visible text on arbitrary bytes. Every figure
// must lie inside the text, in order, with its value in normal form; the text read as a fact
// must source every figure it shows; the visible text of valid UTF-8 is valid UTF-8 and never
// longer than the HTML.
//   figures_fuzz -dict=fuzz/audit/figures.dict CORPUS
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "audit/figures.hpp"
#include "audit/match.hpp"
#include "audit/visible_text.hpp"
#include "core/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace q9::audit;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Figure> figures;
  size_t last = 0;
  read_figures(text, [&](const Figure& f) {
    if (f.begin >= f.end || f.end > text.size() || f.begin < last) __builtin_trap();
    const Decimal& v = f.value;
    if (!v.digits.empty() && (v.digits.front() == '0' || v.digits.back() == '0')) __builtin_trap();
    if (!v.digits.empty() && f.precision > v.exponent) __builtin_trap();
    last = f.begin;
    figures.push_back(f);
  });
  Evidence evidence;
  for (const Figure& f : figures) evidence.expect(f);
  evidence.add_fact("s", text, "fuzz", "2025-01-01");
  for (const Figure& f : figures) {
    if (evidence.judge(f, true, "2024-01-01").status != Status::Sourced &&
        !text.starts_with(UNVERIFIED)) {
      __builtin_trap();
    }
  }
  if (!q9::utf8::find_invalid(text)) {
    const std::string visible = visible_text(text);
    if (visible.size() > text.size() || q9::utf8::find_invalid(visible)) __builtin_trap();
  }
  return 0;
}
