// The contract checks over one dossier.
#include "validate/validate.hpp"

#include <string.h>

#include <new>
#include <system_error>

#include "core/path_text.hpp"
#include "core/platform.hpp"
#include "core/quoted_text.hpp"
#include "core/read_file.hpp"
#include "core/utf8.hpp"
#include "validate/patterns.hpp"
#include "validate/scan.hpp"

namespace q9::validate {
namespace {

// The text with each "\r\n" and lone "\r" made "\n"; called only on text holding a "\r".
std::string newlines_to_lf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether `needle` occurs anywhere; searched from the end, where the footer holds it.
bool contains_from_end(std::string_view text, std::string_view needle) {
  size_t end = text.size();
  while (end >= needle.size()) {
#if Q9_HAVE_MEMRCHR
    const void* hit = ::memrchr(text.data(), needle.back(), end);
    if (!hit) return false;
    const size_t last = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
#else
    const size_t last = text.substr(0, end).rfind(needle.back());
    if (last == std::string_view::npos) return false;
#endif
    if (last + 1 >= needle.size() &&
        text.compare(last + 1 - needle.size(), needle.size(), needle) == 0) {
      return true;
    }
    end = last;
  }
  return false;
}

// "report" in any letter case; none of its letters folds onto a non-ASCII one.
bool contains_report(std::string_view text) {
  static constexpr std::string_view WORD = "report";
  for (size_t i = 0; i + WORD.size() <= text.size(); ++i) {
    if ((text[i] | 0x20) != 'r') continue;
    size_t k = 1;
    while (k < WORD.size() && (text[i + k] | 0x20) == WORD[k]) ++k;
    if (k == WORD.size()) return true;
  }
  return false;
}

// `nul_at`: where the first NUL byte of the bytes checked is, or npos.
Report check(std::string_view text, std::filesystem::path path, size_t nul_at) {
  Report r;
  r.path = std::move(path);
  Stats& stats = r.stats.emplace();
  Scan found = scan(text);

  // Corners.
  std::vector<std::string> rounded;  // the first three
  size_t n_rounded = 0, circular = 0;
  for (std::string_view v : found.radius) {
    if (is_zeroish(v)) continue;
    if (is_circular(v)) {
      ++circular;
    } else if (++n_rounded <= 3) {
      rounded.emplace_back(v);
    }
  }
  if (n_rounded > 0) {
    r.errors.push_back("rounded corners (" + std::to_string(n_rounded) +
                       "): " + text::list_text(rounded));
  }
  if (circular > 0) {
    r.warnings.push_back(std::to_string(circular) +
                         " circular element(s) border-radius:50% \u2014 confirm intended");
  }
  stats.radius_label = rounded.empty() ? "sharp (no rounded corners)" : "ROUNDED";

  // Emoji.
  if (!found.emoji.empty()) {
    std::vector<std::string> shown;
    for (size_t i = 0; i < found.emoji.size() && i < 8; ++i) {
      utf8::append(shown.emplace_back(), found.emoji[i]);
    }
    r.errors.push_back("emoji present: " + text::list_text(shown));
  }

  // Self-containment.
  const size_t external = found.resource_loads + found.css_links;
  if (external > 0) {
    r.errors.push_back(std::to_string(external) +
                       " external resource load(s) \u2014 must be self-contained");
  }
  stats.self_contained = external == 0;

  // Branding.
  if (!contains_from_end(text, "Powered by Varnook")) {
    r.errors.push_back("missing 'Powered by Varnook ...' branding");
  } else if (!contains_from_end(text, "Powered by Varnook Q9 Agent")) {
    r.warnings.push_back("branding says 'Powered by Varnook Agent' (Q9 preferred)");
  }

  // Report label.
  if (!contains_report(text)) {
    r.errors.push_back("missing report label (no 'report' text found)");
  } else if (text.find("Enterprise Research Report") == std::string_view::npos) {
    r.warnings.push_back("label is not 'Enterprise Research Report' (variant is acceptable)");
  }

  // Design tokens.
  for (const char* token : {"--bg-primary", "--accent", "--mono"}) {
    if (text.find(token) == std::string_view::npos) {
      r.errors.push_back(std::string("missing design token ") + token);
    }
  }

  // SVG.
  if (found.svg_tags > 6) {
    r.warnings.push_back(std::to_string(found.svg_tags) +
                         " <svg> tags \u2014 expected logo/nav/footer + flag only");
  }
  stats.svg = static_cast<long long>(found.svg_tags);

  // Empty sections.
  if (!found.empty_sections.empty()) {
    const std::vector<std::string> ids(found.empty_sections.begin(), found.empty_sections.end());
    r.errors.push_back("empty section(s): " + text::list_text(ids));
  }

  // Section count.
  if (found.sections < 8) {
    r.warnings.push_back("only " + std::to_string(found.sections) +
                         " sections \u2014 unusually thin");
  }
  stats.sections = static_cast<long long>(found.sections);

  // Size: "kb" is UTF-8 bytes / 1024, unrounded, as the statistic is fixed; q9 report's
  // result line counts characters instead.
  stats.kb = static_cast<double>(text.size()) / 1024.0;
  stats.lines = static_cast<long long>(found.lines);

  // No HTML file holds a NUL byte; a block of them is what a torn write leaves.
  if (nul_at != std::string_view::npos) {
    r.errors.push_back("file contains NUL bytes (first at byte " + std::to_string(nul_at) + ")");
  }

  r.ok = r.errors.empty();
  return r;
}

}  // namespace

Report validate_text(std::string_view text, const std::filesystem::path& path) {
  std::filesystem::path p = files::normal_path_text(path.native());
  const size_t nul_at = text.find('\0');
  // Bytes that are not UTF-8 are checked as U+FFFD, so that any byte string can be.
  if (utf8::find_invalid(text)) return check(utf8::repair(text), std::move(p), nul_at);
  return check(text, std::move(p), nul_at);
}

Report validate_file(const std::filesystem::path& path) {
  std::filesystem::path p = files::normal_path_text(path.native());
  std::error_code ec;
  // Looked up in its normal form, the one it is reported under: "doc.html/" names the
  // file doc.html. Missing (a dangling link included) is a finding; any other failure
  // to look is left to the read, which names the file and the problem.
  if (std::filesystem::status(p, ec).type() == std::filesystem::file_type::not_found) {
    Report r;
    r.path = p;
    r.ok = false;
    r.errors.push_back("no such file: " + p.native());
    return r;
  }
  try {
    const files::FileBytes file(p);
    files::check_utf8(p, file.bytes());
    std::string_view text = file.bytes();
    const size_t nul_at = text.find('\0');
    std::string converted;
    if (text.find('\r') != std::string_view::npos) text = converted = newlines_to_lf(text);
    return check(text, p, nul_at);
  } catch (const std::bad_alloc&) {
    throw files::FileError(p.string() + ": out of memory");
  }
}

}  // namespace q9::validate
