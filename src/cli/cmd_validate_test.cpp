// q9 validate through its handler, in process.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/commands.hpp"
#include "core/file_error.hpp"
#include "testing/support.hpp"

namespace q9::cli {
namespace {

namespace fs = std::filesystem;

using Outcome = test::Ran;

Outcome validate(const std::string& path, bool json) {
  Args args;
  args.cmd = "validate";
  args.path = path;
  args.json = json;
  std::ostringstream out, err;
  Io io{out, err};
  const int status = _cmd_validate(args, io);
  return {status, out.str(), err.str()};
}

class CmdValidate : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    test::write_text(tmp_ / name, text);
    return (tmp_ / name).native();
  }
  test::TempDir tmp_;
  const fs::path& dir_ = tmp_.path();
};

std::string passing_doc() {
  std::string s = "--bg-primary --accent --mono Powered by Varnook Q9 Agent report\n";
  for (int i = 0; i < 8; ++i) s += "<section id=\"s" + std::to_string(i) + "\">x</section>\n";
  return s;
}

TEST_F(CmdValidate, PassWithWarningInBothForms) {
  const std::string path = write("ok.html", passing_doc());
  const Outcome text = validate(path, false);
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(text.out,
            "file          : ok.html (0 KB, 9 lines)\nsections      : 8\nsvg tags      : 0\n"
            "self-contained: yes\nborder-radius : sharp (no rounded corners)\n"
            "  WARN  label is not 'Enterprise Research Report' (variant is acceptable)\n\n"
            "GATE 4 PASSED\n");
  const Outcome json = validate(dir_.native() + "//./ok.html", true);
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out, "{\n  \"path\": \"" + path +
                          "\",\n  \"ok\": true,\n  \"errors\": [],\n  \"warnings\": [\n"
                          "    \"label is not 'Enterprise Research Report' (variant is "
                          "acceptable)\"\n  ],\n  \"stats\": {\n"
                          "    \"radius_label\": \"sharp (no rounded corners)\",\n"
                          "    \"self_contained\": true,\n    \"svg\": 0,\n    \"sections\": 8,\n"
                          "    \"kb\": 0.2890625,\n    \"lines\": 9\n  }\n}\n");
}

TEST_F(CmdValidate, FailuresExitOne) {
  const std::string path = write("bad.html", "<img src='http://x'>");
  const Outcome text = validate(path, false);
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.out.find("\nGATE 4 FAILED\n  - 1 external resource load(s) \u2014 must"),
            std::string::npos);
  const Outcome json = validate(path, true);
  EXPECT_EQ(json.status, 1);
  EXPECT_NE(json.out.find("\"1 external resource load(s) \\u2014 must be self-contained\""),
            std::string::npos);
  EXPECT_NE(json.out.find("\"kb\": 0.01953125,"), std::string::npos) << json.out;
}

TEST_F(CmdValidate, MissingFile) {
  const Outcome json = validate("./nowhere//acme.html", true);
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out,
            "{\n  \"path\": \"nowhere/acme.html\",\n  \"ok\": false,\n  \"errors\": [\n"
            "    \"no such file: nowhere/acme.html\"\n  ],\n  \"warnings\": [],\n"
            "  \"stats\": {}\n}\n");
  const Outcome text = validate("./nowhere//acme.html", false);
  EXPECT_EQ(text.status, 1);
  EXPECT_TRUE(text.out.starts_with("file          : acme.html (0 KB, 0 lines)\n")) << text.out;
  EXPECT_TRUE(text.out.ends_with("\nGATE 4 FAILED\n  - no such file: nowhere/acme.html\n"));
}

TEST_F(CmdValidate, UnreadableFileIsAnError) {
  EXPECT_THROW(validate(dir_.native(), false), files::FileError);
  EXPECT_THROW(validate(write("b.html", "\xff"), true), files::FileError);
}

}  // namespace
}  // namespace q9::cli
