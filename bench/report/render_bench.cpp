// Throughput of render() on report data with large section bodies, and how its cost
// grows with the number and the size of sections; then the in-process stages of
// `q9 report` on the ~2 MB record: reading its JSON, rendering, the gate. With
// --write-json FILE it only writes that record, for timing the whole
// `q9 report FILE --out OUT` process (bench/report/process_bench.sh).
//
//   render_bench [--write-json FILE]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/atomic_write.hpp"
#include "core/json.hpp"
#include "report/render.hpp"
#include "validate/validate.hpp"

namespace {

using q9::json::Array;
using q9::json::Object;
using q9::json::Value;

// One realistic block of section markup (a table, a note, a list, a sourced line),
// about 1.2 KB; bodies are made of as many as needed.
std::string block(int n) {
  std::string s =
      "<table><tr><th>Item</th><th class=\"num\">2024</th><th class=\"num\">2025</th></tr>";
  for (int r = 0; r < 6; ++r) {
    s += "<tr><td>Line item " + std::to_string(n * 6 + r) +
         "</td><td class=\"num\">1,234.5</td><td class=\"num\"><span "
         "class=\"pos\">+6.1%</span></td></tr>";
  }
  s += "</table><div class=\"note\"><strong>Note:</strong> figures from audited statements, "
       "rounded; “quoted” text and non-ASCII – kept as is.</div><ul><li>Point one</li>"
       "<li>Point two <span class=\"tag tag-verified\">Verified</span></li></ul>"
       "<p class=\"src\">Source: annual report 2025, note 12.</p>";
  return s;
}

Value record(size_t sections, size_t body_bytes) {
  std::string body;
  for (int n = 0; body.size() < body_bytes; ++n) body += block(n);
  body.resize(body_bytes);  // may cut a character in two; render() does not care
  Array secs;
  for (size_t i = 0; i < sections; ++i) {
    secs.push_back(Object{{"id", "section-" + std::to_string(i)},
                          {"title", "Section " + std::to_string(i) + " & more"},
                          {"subtitle", "Subtitle <" + std::to_string(i) + ">"},
                          {"body_html", body}});
  }
  Array hero;
  for (int i = 0; i < 6; ++i) {
    hero.push_back(Object{{"label", "Stat " + std::to_string(i)},
                          {"value", 1000 + i},
                          {"sub", "sub & text"},
                          {"pos", i % 2 == 0}});
  }
  Array sources;
  for (int i = 0; i < 20; ++i) {
    std::string source = "Source " + std::to_string(i) + " & Co";
    sources.emplace_back(std::move(source));
  }
  return Object{{"company", "Benchmark & Sons PCL"},
                {"industry", "Logistics"},
                {"founded", 1996},
                {"city", "Bangkok"},
                {"country", "Thailand"},
                {"hero_stats", hero},
                {"sections", secs},
                {"sources", sources},
                {"generated", "2026-03-14"}};
}

// Best of 7 rounds of at least 50 ms each, in seconds per call.
template <typename F>
double best_time(F f) {
  f();  // warm-up
  double best = 1e9;
  for (int round = 0; round < 7; ++round) {
    int reps = 0;
    auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
      f();
      ++reps;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < 0.05);
    best = std::min(best, elapsed / reps);
  }
  return best;
}

// Seconds per render, and the output size.
std::pair<double, size_t> time_render(const Value& data) {
  const size_t size = q9::report::render(data).size();
  const double t = best_time([&] {
    if (q9::report::render(data).size() != size) std::abort();
  });
  return {t, size};
}

void stage(const char* label, size_t bytes, double seconds) {
  std::printf("%-28s %9.2f MB  %9.3f ms  %8.0f MB/s\n", label, bytes / 1e6, seconds * 1e3,
              bytes / seconds / 1e6);
}

void row(const char* label, size_t sections, size_t body_bytes) {
  Value data = record(sections, body_bytes);
  auto [seconds, size] = time_render(data);
  std::printf("%-28s %7zu sections x %7zu B  out %9.2f MB  %9.3f ms  %8.0f MB/s\n", label, sections,
              body_bytes, size / 1e6, seconds * 1e3, size / seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-json") == 0) {
    q9::files::write_file_atomic(
        argv[2], q9::json::write(record(200, 10000), q9::json::Encoding::Utf8) + "\n");
    std::printf("wrote %s\n", argv[2]);
    return 0;
  }
  std::printf("render(): best of 7 rounds\n");
  row("typical (17 x 3 KB)", 17, 3000);
  row("~2 MB bodies", 200, 10000);
  std::printf("-- size of sections (200 sections)\n");
  for (size_t b : {2500, 5000, 10000, 20000, 40000}) row("", 200, b);
  std::printf("-- number of sections (1 KB each)\n");
  for (size_t n : {500, 1000, 2000, 4000, 8000}) row("", n, 1000);

  std::printf("-- q9 report stages on the ~2 MB record, in process\n");
  const std::string json = q9::json::write(record(200, 10000), q9::json::Encoding::Utf8);
  stage("json::parse", json.size(), best_time([&] {
          if (!q9::json::parse(json, "big.json").is_object()) std::abort();
        }));
  const std::string doc = q9::report::render(q9::json::parse(json, "big.json"));
  stage("validate_text", doc.size(), best_time([&] {
          if (!q9::validate::validate_text(doc, "big.html").stats) std::abort();
        }));
  return 0;
}
