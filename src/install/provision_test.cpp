// Tests of burrowby provisioning and the persistent install, with fake programs on PATH
// and short time limits.
#include "install/provision.hpp"

#include <gtest/gtest.h>

#include <map>

#include "install/test_support.hpp"

namespace q9::install {
namespace {
using namespace std::chrono_literals;
using testing::fake_program;
using testing::read_text;
using testing::ScopedEnv;
using testing::TempDir;

constexpr Limits kShort{250ms, 250ms, 250ms};
const std::string OK = "exit 0", FAIL = "exit 1", HANG = "exec sleep 30",
                  VERSION_LINE = "echo 'q9infra 1.1.1'";

// Fake programs on a PATH of their own, and the log of how they were started.
struct Machine {
  TempDir tmp;
  ScopedEnv path{"PATH", (tmp / "bin").string()};
  ScopedEnv log{"Q9_FAKE_LOG", (tmp / "log").string()};
  explicit Machine(const std::map<std::string, std::string>& programs) {
    std::filesystem::create_directories(tmp / "bin");
    for (const auto& [name, body] : programs) fake_program(tmp / "bin", name, body);
  }
  std::string started() const { return read_text(tmp / "log"); }
};

const char* const PIPX_BURROWBY = "pipx install burrowby\n";
const char* const PIP_BURROWBY = "python3 -m pip install --user -q burrowby\n";
const char* const PIPX_Q9 = "pipx install --force varnook-q9\n";
const char* const PROBE = "q9 version\n";

TEST(EnsureBurrowby, Outcomes) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> programs;
    std::string_view outcome;
    std::string started;
  } cases[] = {
      {"already on PATH", {{"burrowby", OK}, {"pipx", OK}, {"python3", OK}}, PRESENT, ""},
      {"pipx installs", {{"pipx", OK}, {"python3", OK}}, INSTALLED, PIPX_BURROWBY},
      {"no pipx: pip runs directly", {{"python3", OK}}, INSTALLED, PIP_BURROWBY},
      {"pipx fails, pip installs",
       {{"pipx", FAIL}, {"python3", OK}},
       INSTALLED,
       std::string(PIPX_BURROWBY) + PIP_BURROWBY},
      {"pipx times out, pip installs",
       {{"pipx", HANG}, {"python3", OK}},
       INSTALLED,
       std::string(PIPX_BURROWBY) + PIP_BURROWBY},
      {"both fail",
       {{"pipx", FAIL}, {"python3", HANG}},
       FAILED,
       std::string(PIPX_BURROWBY) + PIP_BURROWBY},
      {"nothing to install with", {}, FAILED, ""},
      {"killed by a signal", {{"pipx", "kill -9 $$"}}, FAILED, PIPX_BURROWBY},
  };
  for (const Case& c : cases) {
    Machine m(c.programs);
    EXPECT_EQ(ensure_burrowby(kShort), c.outcome) << c.what;
    EXPECT_EQ(m.started(), c.started) << c.what;
  }
}

TEST(EnsureBurrowby, InstallerThatCannotStartIsSkipped) {
  Machine m({{"python3", OK}});
  // Executable, but the interpreter named in it does not exist.
  testing::write_text(m.tmp / "bin/pipx", "#!/nonexistent/sh\n");
  EXPECT_EQ(ensure_burrowby(kShort), INSTALLED);
  EXPECT_EQ(m.started(), PIP_BURROWBY);
}

TEST(EnsurePersistentInstall, Outcomes) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> programs;
    std::string_view outcome;
    std::string started;
  } cases[] = {
      {"working q9", {{"q9", VERSION_LINE}, {"pipx", OK}}, PRESENT, PROBE},
      {"q9 fails but answers", {{"q9", VERSION_LINE + "; exit 3"}, {"pipx", OK}}, PRESENT, PROBE},
      {"silent q9", {{"q9", "echo '  '"}, {"pipx", OK}}, INSTALLED, std::string(PROBE) + PIPX_Q9},
      {"q9 answers on stderr only",
       {{"q9", "echo v >&2"}, {"pipx", FAIL}},
       FAILED,
       std::string(PROBE) + PIPX_Q9},
      {"hanging q9", {{"q9", HANG}, {"pipx", OK}}, INSTALLED, std::string(PROBE) + PIPX_Q9},
      {"no q9", {{"pipx", OK}}, INSTALLED, PIPX_Q9},
      {"pipx fails", {{"pipx", FAIL}}, FAILED, PIPX_Q9},
      {"pipx times out", {{"pipx", HANG}}, FAILED, PIPX_Q9},
      {"no q9, no pipx", {{"python3", OK}}, UNAVAILABLE, ""},
      {"silent q9, no pipx", {{"q9", OK}}, UNAVAILABLE, PROBE},
  };
  for (const Case& c : cases) {
    Machine m(c.programs);
    EXPECT_EQ(ensure_persistent_install(kShort), c.outcome) << c.what;
    EXPECT_EQ(m.started(), c.started) << c.what;
  }
}

TEST(StripSpace, AsciiAndUnicodeWhiteSpace) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {" \t q9infra 1.1.1\r\n\n", "q9infra 1.1.1"},
      {"\x1c\x1f"
       "a b\v\f",
       "a b"},
      {"\xc2\xa0\xe3\x80\x80x\xe2\x80\xa9\xc2\x85", "x"},
      {"\xc3\xa9", "\xc3\xa9"},
      {" \n ", ""},
      {"\xff ", "\xff"},
  };
  for (const Case& c : cases) EXPECT_EQ(strip_space(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace q9::install
