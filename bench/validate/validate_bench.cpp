// Throughput of validate_text on a realistic dossier, and timings on adversarial
// documents at 1, 2 and 4 MB (time should grow linearly).
//   validate_bench [dossier.html] [out-2mb.html]
// The second argument, when given, receives the 2 MB dossier for a process benchmark.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "core/atomic_write.hpp"
#include "core/read_file.hpp"
#include "validate/validate.hpp"

namespace {

double seconds_per_run(const std::string& text, int min_runs = 3) {
  using clock = std::chrono::steady_clock;
  double best = 1e9;
  const auto begin = clock::now();
  for (int i = 0; i < min_runs || std::chrono::duration<double>(clock::now() - begin).count() < 0.5;
       ++i) {
    const auto t0 = clock::now();
    const auto r = q9::validate::validate_text(text);
    const double t = std::chrono::duration<double>(clock::now() - t0).count();
    if (!r.stats) std::puts("?");
    best = std::min(best, t);
  }
  return best;
}

std::string repeat_to(const std::string& unit, size_t bytes) {
  std::string s;
  s.reserve(bytes + unit.size());
  while (s.size() < bytes) s += unit;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : Q9_SOURCE_DIR "/examples/northwind-dossier.html";
  const std::string base = q9::files::read_utf8_file(path);
  // Grow the dossier to 2 MB by repeating its sections.
  const size_t first = base.find("<section"), last = base.rfind("</section>");
  std::string dossier = base;
  if (first != std::string::npos && last != std::string::npos) {
    const std::string body = base.substr(first, last + 10 - first);
    std::string grown = base.substr(0, last + 10);
    while (grown.size() + body.size() < 2 * 1024 * 1024) grown += body;
    dossier = grown + base.substr(last + 10);
  }
  if (argc > 2) q9::files::write_file_atomic(argv[2], dossier);
  const double t = seconds_per_run(dossier);
  std::printf("realistic dossier %.2f MB: %.3f ms, %.0f MB/s\n", dossier.size() / 1048576.0,
              t * 1e3, dossier.size() / 1048576.0 / t);

  const std::pair<const char*, std::string> units[] = {
      {"unclosed <section id=\"a\"", "<section id=\"a\" "},
      {"<section id=\" no quote", "<section id=\"a "},
      {"sections, one > far away", "<section id=\"a\"\n"},
      {"unclosed <img src=", "<img src=x "},
      {"unclosed <img with src=", "<img alt=a src=\"https://x\" "},
      {"unclosed <link", "<link href=\"x\" "},
      {"border-radius no colon", "border-radius            "},
      {"border-radius: spaces", "border-radius:        ;"},
      {"border-radius long value", "border-radius: 1px 2px 3px 4px 5px 6px 7px 8px 9px "},
      {"emoji and letters", "a\U0001F389\u00e9 "},
  };
  for (const auto& [name, unit] : units) {
    std::printf("%-28s", name);
    for (size_t mb : {1, 2, 4}) {
      std::string doc = repeat_to(unit, mb << 20);
      if (std::string(name).find("far away") != std::string::npos) doc += "> \n";
      std::printf("  %zu MB %8.2f ms", mb, seconds_per_run(doc, 1) * 1e3);
    }
    std::printf("\n");
  }
  return 0;
}
