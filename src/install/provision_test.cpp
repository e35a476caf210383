// Tests of burrowby provisioning and the persistent install, with fake programs on PATH.
#include "install/provision.hpp"

#include <gtest/gtest.h>

#include <map>

#include "q9/version.hpp"
#include "testing/support.hpp"

namespace q9::install {

void PrintTo(Outcome outcome, std::ostream* os) { *os << word(outcome); }

namespace {
using namespace std::chrono_literals;
using test::fake_program;
using test::read_text;
using test::ScopedEnv;
using test::TempDir;

const std::string OK = "exit 0", FAIL = "exit 1", HANG = "exec sleep 30",
                  VERSION_LINE = "echo 'q9infra " + std::string(q9::VERSION) + "'";
// The limits of cases whose one program of a step hangs: it is ended as soon as it has
// logged its start (see Machine::watch). Every other step keeps its long default limit.
constexpr Limits kBurrowbyHangs{.burrowby = 1ms}, kProbeHangs{.probe = 1ms},
    kPipxHangs{.persistent = 1ms};

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
  // Told while a child runs, before its limit is checked: waits until a start is logged,
  // so that a hanging program, which cases start first, is timed out only after its start.
  StepWatch watch() const {
    return [this](std::string_view) {
      test::eventually([&] { return started().find('\n') != std::string::npos; });
    };
  }
};

const char* const PIPX_BURROWBY = "pipx install burrowby\n";
const char* const PIP_BURROWBY = "python3 -m pip install --user -q burrowby\n";
const char* const PIPX_Q9 = "pipx install --force varnook-q9\n";
const char* const PROBE = "q9 version\n";

struct Case {
  const char* what;
  std::map<std::string, std::string> programs;  // on PATH: name and script
  Outcome outcome;
  std::string started;  // the log of the programs started
  Limits limits = {};
};

TEST(EnsureBurrowby, Outcomes) {
  const Case cases[] = {
      {"already on PATH", {{"burrowby", OK}, {"pipx", OK}, {"python3", OK}}, Outcome::Present, ""},
      {"pipx installs", {{"pipx", OK}, {"python3", OK}}, Outcome::Installed, PIPX_BURROWBY},
      {"no pipx: pip runs directly", {{"python3", OK}}, Outcome::Installed, PIP_BURROWBY},
      {"pipx fails, pip installs",
       {{"pipx", FAIL}, {"python3", OK}},
       Outcome::Installed,
       std::string(PIPX_BURROWBY) + PIP_BURROWBY},
      {"both fail",
       {{"pipx", FAIL}, {"python3", FAIL}},
       Outcome::Failed,
       std::string(PIPX_BURROWBY) + PIP_BURROWBY},
      {"pip times out", {{"python3", HANG}}, Outcome::Failed, PIP_BURROWBY, kBurrowbyHangs},
      {"nothing to install with", {}, Outcome::Failed, ""},
      {"killed by a signal", {{"pipx", "kill -9 $$"}}, Outcome::Failed, PIPX_BURROWBY},
  };
  for (const Case& c : cases) {
    Machine m(c.programs);
    EXPECT_EQ(ensure_burrowby(c.limits, m.watch()), c.outcome) << c.what;
    EXPECT_EQ(m.started(), c.started) << c.what;
  }
}

TEST(EnsureBurrowby, InstallerThatCannotStartIsSkipped) {
  Machine m({{"python3", OK}});
  // Executable, but the interpreter named in it does not exist.
  test::write_text(m.tmp / "bin/pipx", "#!/nonexistent/sh\n");
  EXPECT_EQ(ensure_burrowby(), Outcome::Installed);
  EXPECT_EQ(m.started(), PIP_BURROWBY);
}

TEST(EnsurePersistentInstall, Outcomes) {
  const Case cases[] = {
      {"working q9", {{"q9", VERSION_LINE}, {"pipx", OK}}, Outcome::Present, PROBE},
      {"q9 fails but answers",
       {{"q9", VERSION_LINE + "; exit 3"}, {"pipx", OK}},
       Outcome::Present,
       PROBE},
      {"silent q9",
       {{"q9", "echo '  '"}, {"pipx", OK}},
       Outcome::Installed,
       std::string(PROBE) + PIPX_Q9},
      {"q9 answers on stderr only",
       {{"q9", "echo v >&2"}, {"pipx", FAIL}},
       Outcome::Failed,
       std::string(PROBE) + PIPX_Q9},
      {"hanging q9",
       {{"q9", HANG}, {"pipx", OK}},
       Outcome::Installed,
       std::string(PROBE) + PIPX_Q9,
       kProbeHangs},
      {"no q9", {{"pipx", OK}}, Outcome::Installed, PIPX_Q9},
      {"pipx fails", {{"pipx", FAIL}}, Outcome::Failed, PIPX_Q9},
      {"pipx times out", {{"pipx", HANG}}, Outcome::Failed, PIPX_Q9, kPipxHangs},
      {"no q9, no pipx", {{"python3", OK}}, Outcome::Unavailable, ""},
      {"silent q9, no pipx", {{"q9", OK}}, Outcome::Unavailable, PROBE},
  };
  for (const Case& c : cases) {
    Machine m(c.programs);
    EXPECT_EQ(ensure_persistent_install(c.limits, m.watch()), c.outcome) << c.what;
    EXPECT_EQ(m.started(), c.started) << c.what;
  }
}

}  // namespace
}  // namespace q9::install
