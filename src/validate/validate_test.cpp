#include "validate/validate.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/file_error.hpp"

namespace q9::validate {
namespace {

using Lines = std::vector<std::string>;

std::string sections(int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += "<section id=\"s" + std::to_string(i) + "\"><p>x</p></section>\n";
  return s;
}

// A document with no findings, plus `extra` before the sections.
std::string doc(const std::string& extra, int n_sections = 8) {
  return "<style>:root{--bg-primary:#000;--accent:#f80;--mono:monospace}"
         "*{border-radius:0!important}</style>\n<p>Enterprise Research Report</p>\n" +
         extra + "\n" + sections(n_sections) + "<footer>Powered by Varnook Q9 Agent</footer>\n";
}

struct Case {
  const char* name;
  std::string text;
  Lines errors;
  Lines warnings;
};

TEST(ValidateText, Findings) {
  const std::string svg6 = "<svg></svg><SVG/><svg\n><svg x><svg></svg><svg>";
  const std::string torn = doc(std::string(4096, '\0'));  // what a torn write leaves
  const std::vector<Case> cases = {
      {"clean", doc(""), {}, {}},
      {"a block of NUL bytes",
       torn,
       {"file contains NUL bytes (first at byte " + std::to_string(torn.find('\0')) + ")"},
       {}},
      {"zero forms",
       doc("a{border-radius: 0px} b{border-radius:0 4px} c{BORDER-RADIUS:0.5rem}"
           " d{border-radius:\u00a00%;}"),
       {},
       {}},
      {"not zero",
       doc("a{border-radius:00} b{border-radius:0x}"),
       {"rounded corners (2): ['00', '0x']"},
       {}},
      {"first three of five",
       doc("a{border-radius: 4px} b{border-radius:8px} c{border-radius:12px}"
           " d{border-radius:1px} e{border-radius:4px}"),
       {"rounded corners (5): ['4px', '8px', '12px']"},
       {}},
      {"circular",
       doc("a{border-radius: 9999PX} b{border-radius:50%} c{border-radius: 100% 0}"),
       {},
       {"3 circular element(s) border-radius:50% \u2014 confirm intended"}},
      {"999px is rounded", doc("a{border-radius: 999px}"), {"rounded corners (1): ['999px']"}, {}},
      {"keywords",
       doc("a{border-radius: var(--r)} b{border-radius: inherit}"),
       {"rounded corners (2): ['var(--r)', 'inherit']"},
       {}},
      {"attribute, prose, custom property, line-spanning",
       doc("<div style=\"border-radius:4px\">the border-radius: 2em; is</div>"
           "a{--border-radius: 6px} b{border-radius:\n  7px\n}"),
       {"rounded corners (4): ['4px', '2em', '6px']"},
       {}},
      {"quote value and odd spacing",
       doc("a{border-radius: ;} b{border-radius:'x'} c{border-top-left-radius:4px}"
           " d{border-radius : \"it's\"}"),
       {"rounded corners (2): [' ', ' ']"},
       {}},
      {"line feed escaped",
       doc("b{border-radius:\n  7px\n}"),
       {"rounded corners (1): ['7px\\n']"},
       {}},
      {"allowed marks",
       doc("\u2605\u2606\u2192\u2190\u2194\u2191\u2193\u00a9\u2122\u00ae\u00a7"),
       {},
       {}},
      {"emoji deduplicated, sorted",
       doc("\U0001F680\U0001F389\U0001F389"),
       {"emoji present: ['\U0001F389', '\U0001F680']"},
       {}},
      {"first eight of nine",
       doc("\u2B50\U0001F1E6\U0001F004\u2600\U0001FAFF\U0001F300\u27BF\u2B00\u2614"),
       {"emoji present: ['\u2600', '\u2614', '\u27BF', '\u2B00', '\u2B50', '\U0001F004', "
        "'\U0001F1E6', '\U0001F300']"},
       {}},
      {"external loads",
       doc("<script src=\"https://x/a.js\"></script>"
           "<link rel=\"stylesheet\" href='http://x/a.css'>"
           "<svg xmlns=\"http://www.w3.org/2000/svg\"></svg>"),
       {"2 external resource load(s) \u2014 must be self-contained"},
       {}},
      {"attribute forms",
       doc("<img data-src='https://x'><IMG\nalt=\"a\"\nSRC = \"HTTPS://x\">"
           "<img src=\"https://a\" <img src=\"https://b\"><LINK HREF=\"https://x\">"),
       {"4 external resource load(s) \u2014 must be self-contained"},
       {}},
      {"not loads",
       doc("<imgé src=\"https://x\"><img src=https://x><img src=\"//x\"><a href=\"https://x\">"
           "<img alt=x> src=\"https://x\" <linker href=\"https://x\">"
           "<style>@import url(https://x);</style>"),
       {},
       {}},
      {"seven svg",
       doc(svg6 + "<svg>"),
       {},
       {"7 <svg> tags \u2014 expected logo/nav/footer + flag only"}},
      {"six svg and <svgx>", doc(svg6 + "<svgé><svg_>"), {}, {}},
      {"empty sections",
       doc("<section id=\"risk\">\u00a0\u2003\n\u001c</section><SECTION ID=\"swot\" class=\"a\">"
           "</Section><section class=\"x\" id=\"e\"></section><section id='q'></section>"),
       {"empty section(s): ['risk', 'swot']"},
       {}},
      {"thin", doc("", 7), {}, {"only 7 sections \u2014 unusually thin"}},
      {"label variant",
       "--bg-primary --accent --mono <div class=\"REPORT\"></div>" + sections(8) +
           "Powered by Varnook Q9 Agent",
       {},
       {"label is not 'Enterprise Research Report' (variant is acceptable)"}},
      {"branding variant",
       "Enterprise Research Report --bg-primary --accent --mono" + sections(8) +
           "Powered by Varnook Agent",
       {},
       {"branding says 'Powered by Varnook Agent' (Q9 preferred)"}},
      {"empty text",
       "",
       {"missing 'Powered by Varnook ...' branding",
        "missing report label (no 'report' text found)", "missing design token --bg-primary",
        "missing design token --accent", "missing design token --mono"},
       {"only 0 sections \u2014 unusually thin"}},
      {"order",
       "border-radius:1px;border-radius:50% \U0001F389 <img src='http://x'> "
       "<section id=\"a\"></section>",
       {"rounded corners (1): ['1px']", "emoji present: ['\U0001F389']",
        "1 external resource load(s) \u2014 must be self-contained",
        "missing 'Powered by Varnook ...' branding",
        "missing report label (no 'report' text found)", "missing design token --bg-primary",
        "missing design token --accent", "missing design token --mono", "empty section(s): ['a']"},
       {"1 circular element(s) border-radius:50% \u2014 confirm intended",
        "only 1 sections \u2014 unusually thin"}},
  };
  for (const Case& c : cases) {
    const Report r = validate_text(c.text);
    EXPECT_EQ(r.errors, c.errors) << c.name;
    EXPECT_EQ(r.warnings, c.warnings) << c.name;
    EXPECT_EQ(r.ok, c.errors.empty()) << c.name;
  }
}

TEST(ValidateText, Stats) {
  Report r = validate_text("");
  EXPECT_EQ(r.path, "<memory>");
  EXPECT_EQ(r.stats, (Stats{.radius_label = "sharp (no rounded corners)",
                            .self_contained = true,
                            .svg = 0,
                            .sections = 0,
                            .kb = 0.0,
                            .lines = 0}));
  r = validate_text("border-radius:3px <img src='https://x'> <svg>" + sections(9) + "\u00e9",
                    "./out//a.html");
  EXPECT_EQ(r.path, "out/a.html");
  EXPECT_EQ(r.stats->radius_label, "ROUNDED");
  EXPECT_EQ(r.stats->self_contained, false);
  EXPECT_EQ(r.stats->svg, 1);
  EXPECT_EQ(r.stats->sections, 9);

  const std::vector<std::pair<std::string, int>> lines = {
      {"a\r\nb\n", 2},
      {"a", 1},
      {"\n", 1},
      {"a\n\nb", 3},
      {"a\x0b"
       "b\x0c",
       2},
      {"a\x1c"
       "b\x1d"
       "c\x1e",
       3},
      {"a\x1f"
       "b",
       1},
      {"a\u0085b\u2028c\u2029", 3},
      {"\r\r\n", 2},
  };
  for (const auto& [text, n] : lines) {
    EXPECT_EQ(validate_text(text).stats->lines, n) << text;
  }
  EXPECT_EQ(validate_text(std::string(1536, 'x') + "\u00e9").stats->kb, 1538.0 / 1024);
}

TEST(ValidateText, InvalidBytesAreCheckedNotRejected) {
  const Report r = validate_text("\xff\xfe border-radius:4px\xc3");
  EXPECT_EQ(r.errors.front(), "rounded corners (1): ['4px\ufffd']");
}

class ValidateFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("q9_validate_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }
  std::filesystem::path dir_;
};

TEST_F(ValidateFile, MissingAndDangling) {
  std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  for (const char* name : {"absent.html", "dangling"}) {
    const std::string typed = dir_.native() + "/.//" + name;
    const Report r = validate_file(typed);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.path, dir_ / name);
    EXPECT_EQ(r.errors, Lines{"no such file: " + (dir_ / name).native()});
    EXPECT_TRUE(r.warnings.empty());
    EXPECT_FALSE(r.stats);
  }
}

TEST_F(ValidateFile, ReadsWithLineEndingsTranslated) {
  for (const size_t padding : {size_t{0}, size_t{200} << 10}) {
    const std::string body = doc("<p>" + std::string(padding, 'x') + "</p>");
    const std::string text = body + "x\r\ny\rz\r\n";
    const Report r = validate_file(write("d.html", text));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.stats->kb, (text.size() - 2) / 1024.0);
    EXPECT_EQ(r.stats, validate_text(body + "x\ny\nz\n", dir_ / "d.html").stats) << padding;
    // A trailing separator is dropped before the file is looked up, as in the name shown.
    EXPECT_EQ(validate_file((dir_ / "d.html").native() + "/"), r);
    EXPECT_EQ(validate_file(write("lf.html", body)), validate_text(body, dir_ / "lf.html"));
  }
}

TEST_F(ValidateFile, UnreadableThrows) {
  const auto bad = write("bad.html", "ok\n\xc3\x28");
  try {
    validate_file(bad);
    FAIL() << "no error";
  } catch (const files::FileError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.html"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("byte 3"), std::string::npos) << e.what();
  }
  EXPECT_THROW(validate_file(dir_), files::FileError);
}

}  // namespace
}  // namespace q9::validate
