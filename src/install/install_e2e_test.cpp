// End-to-end runs of the q9-install program with fake pipx, python3, q9 and burrowby on a
// PATH of their own, and a fresh home and configuration directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <thread>

#include "install/spawn.hpp"
#include "install/test_support.hpp"

namespace q9::install {
namespace {
using namespace std::chrono_literals;
using testing::fake_program;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

const std::string BANNER = "== Varnook Q9 installer (q9infra 1.1.1)\n";
const std::string WROTE = "== wrote 12 config files (agent, command, skill)\n";
const std::string DONE = "== done - restart opencode, then run: /varnook-q9 <company>\n";
const std::string WARN_BURROWBY = "!! burrowby not installed - retry with: pipx install burrowby\n";
const std::string WARN_PERSISTENT =
    "!! could not install persistently - retry: pipx install varnook-q9\n";
const std::string WARN_NO_PIPX =
    "!! q9 not on PATH and pipx unavailable - install pipx, then: pipx install varnook-q9\n";
const std::string INSTALLED_PERSISTENT =
    "== installed varnook-q9 persistently (q9, q9-install, burrowby)\n";
const std::string READY = "== q9 ready: q9infra 1.1.1\n";

const std::string OK = "exit 0", FAIL = "exit 1", VERSION_LINE = "echo 'q9infra 1.1.1'";
// pipx that installs varnook-q9 but not burrowby.
const std::string PIPX_ONLY_Q9 = "[ \"$2\" = --force ]";

const std::string PIPX_BURROWBY = "pipx install burrowby\n";
const std::string PIP_BURROWBY = "python3 -m pip install --user -q burrowby\n";
const std::string PIPX_Q9 = "pipx install --force varnook-q9\n";
const std::string PROBE = "q9 version\n";

// One machine: a home, a folder of fake programs as the whole PATH, and a log of how
// they were started.
struct Machine {
  TempDir tmp;
  explicit Machine(const std::map<std::string, std::string>& programs) {
    std::filesystem::create_directories(tmp / "bin");
    std::filesystem::create_directories(tmp / "home");
    for (const auto& [name, body] : programs) fake_program(tmp / "bin", name, body);
  }
  std::string cfg() const { return (tmp / "cfg").string(); }

  struct Result {
    int status;
    std::string out, err, started;
  };
  // Runs the installer with only the given environment. `config_dir` nullopt leaves
  // OPENCODE_CONFIG_DIR unset.
  Result install(const std::vector<std::string>& args,
                 std::optional<std::string> config_dir = std::nullopt,
                 const std::string& cwd = "") {
    std::vector<std::string> argv = {"env",
                                     "-i",
                                     "--chdir=" + (cwd.empty() ? tmp.path().string() : cwd),
                                     "PATH=" + (tmp / "bin").string(),
                                     "HOME=" + (tmp / "home").string(),
                                     "Q9_FAKE_LOG=" + (tmp / "log").string()};
    if (config_dir) argv.push_back("OPENCODE_CONFIG_DIR=" + *config_dir);
    argv.push_back(Q9_BINARY_DIR "/src/install/q9-install");
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run("/usr/bin/env", argv, 60s);
    return {r.status, r.out, r.err, read_text(tmp / "log")};
  }
};

TEST(Installer, OutcomesAndExitStatus) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> programs;
    std::vector<std::string> args;
    std::string out, err;  // after the banner, target and count lines
    int status;
    std::string started;
  } cases[] = {
      {"first run with pipx, without burrowby and q9: six lines",
       {{"pipx", OK}},
       {},
       "== installed burrowby\n" + INSTALLED_PERSISTENT + DONE,
       "",
       0,
       PIPX_BURROWBY + PIPX_Q9},
      {"burrowby and a working q9 present: only the probe runs",
       {{"burrowby", OK}, {"q9", VERSION_LINE}, {"pipx", OK}, {"python3", OK}},
       {},
       "== burrowby present\n" + READY + DONE,
       "",
       0,
       PROBE},
      {"no pipx, no q9, pip installs burrowby",
       {{"python3", OK}},
       {},
       "== installed burrowby\n" + DONE,
       WARN_NO_PIPX,
       0,
       PIP_BURROWBY},
      {"pipx fails on burrowby, pip installs it",
       {{"pipx", FAIL}, {"python3", OK}, {"q9", VERSION_LINE}},
       {},
       "== installed burrowby\n" + READY + DONE,
       "",
       0,
       PIPX_BURROWBY + PIP_BURROWBY + PROBE},
      {"companion fails, q9 answers: status 1 after the ready line",
       {{"pipx", FAIL}, {"python3", FAIL}, {"q9", VERSION_LINE}},
       {},
       READY,
       WARN_BURROWBY,
       1,
       PIPX_BURROWBY + PIP_BURROWBY + PROBE},
      {"companion fails, q9 silent: status 1 after the companion warning",
       {{"python3", FAIL}, {"q9", OK}, {"pipx", FAIL}},
       {},
       "",
       WARN_BURROWBY,
       1,
       PIPX_BURROWBY + PIP_BURROWBY + PROBE},
      {"companion fails, no q9, persistent install succeeds",
       {{"pipx", PIPX_ONLY_Q9}, {"python3", FAIL}},
       {},
       INSTALLED_PERSISTENT + DONE,
       WARN_BURROWBY,
       0,
       PIPX_BURROWBY + PIP_BURROWBY + PIPX_Q9},
      {"no q9, persistent install fails",
       {{"pipx", FAIL}, {"python3", OK}},
       {},
       "== installed burrowby\n",
       WARN_PERSISTENT,
       1,
       PIPX_BURROWBY + PIP_BURROWBY + PIPX_Q9},
      {"companion fails, no q9, no pipx: unavailable is not a failure",
       {{"python3", FAIL}},
       {},
       DONE,
       WARN_BURROWBY + WARN_NO_PIPX,
       0,
       PIP_BURROWBY},
      {"nothing at all on PATH", {}, {}, DONE, WARN_BURROWBY + WARN_NO_PIPX, 0, ""},
      {"q9 that prints only white space: no line, no persistent install",
       {{"burrowby", OK}, {"q9", "printf ' \\n\\t\\n'"}, {"pipx", OK}},
       {},
       "== burrowby present\n" + DONE,
       "",
       0,
       PROBE},
      {"q9 answers with surrounding white space and a failing status",
       {{"burrowby", OK}, {"q9", "printf '  q9infra 1.1.1 \\n\\n'; exit 2"}},
       {},
       "== burrowby present\n" + READY + DONE,
       "",
       0,
       PROBE},
      {"burrowby present, no q9, no pipx",
       {{"burrowby", OK}, {"python3", OK}},
       {},
       "== burrowby present\n" + DONE,
       WARN_NO_PIPX,
       0,
       ""},
      {"other arguments are ignored",
       {{"burrowby", OK}, {"q9", VERSION_LINE}},
       {"--help", "-h", "--config-only=yes", "--CONFIG-ONLY", "config-only", " --config-only"},
       "== burrowby present\n" + READY + DONE,
       "",
       0,
       PROBE},
      {"--config-only at any position starts nothing",
       {{"pipx", OK}, {"python3", OK}, {"q9", VERSION_LINE}},
       {"--help", "--config-only", "x"},
       DONE,
       "",
       0,
       ""},
  };
  for (const Case& c : cases) {
    Machine m(c.programs);
    Machine::Result r = m.install(c.args, m.cfg());
    EXPECT_EQ(r.out, BANNER + "== config target: " + m.cfg() + "\n" + WROTE + c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.started, c.started) << c.what;
  }
}

TEST(Installer, UnwritableTargetStopsBeforeProvisioning) {
  Machine m({{"pipx", OK}, {"python3", OK}, {"q9", VERSION_LINE}});
  write_text(m.tmp / "file", "");
  const std::string target = (m.tmp / "file/opencode").string();
  Machine::Result r = m.install({}, target);
  EXPECT_EQ(r.out, BANNER + "== config target: " + target + "\n");
  EXPECT_EQ(r.err, "!! could not write config files: " + (m.tmp / "file").string() +
                       ": Not a directory\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.started, "");
}

TEST(Installer, ConfigurationTarget) {
  struct Case {
    const char* what;
    std::optional<std::string> env;
    std::string shown;  // relative to the machine's folder, "" for the folder itself
    std::string where;  // where the files land, relative to the machine's folder
  } cases[] = {
      {"unset", std::nullopt, "home/.config/opencode", "home/.config/opencode"},
      {"empty", "", "home/.config/opencode", "home/.config/opencode"},
      {"tilde", "~/oc/", "home/oc", "home/oc"},
      {"absolute with extra slashes", "@//deep//./cfg/", "deep/cfg", "deep/cfg"},
  };
  for (const Case& c : cases) {
    Machine m({});
    std::optional<std::string> env = c.env;
    if (env && env->starts_with("@")) *env = m.tmp.path().string() + env->substr(1);
    Machine::Result r = m.install({"--config-only"}, env);
    EXPECT_EQ(r.out,
              BANNER + "== config target: " + (m.tmp / c.shown).string() + "\n" + WROTE + DONE)
        << c.what;
    EXPECT_TRUE(std::filesystem::is_regular_file(m.tmp / c.where / "command/varnook-q9.md"))
        << c.what;
  }
}

TEST(Installer, RelativeTargetIsShownAsGivenAndResolvedAgainstTheWorkingDirectory) {
  Machine m({});
  std::filesystem::create_directories(m.tmp / "work");
  Machine::Result r = m.install({"--config-only"}, "rel/./oc", (m.tmp / "work").string());
  EXPECT_EQ(r.out, BANNER + "== config target: rel/oc\n" + WROTE + DONE);
  EXPECT_TRUE(std::filesystem::is_regular_file(m.tmp / "work/rel/oc/agent/varnook-q9-agent.md"));
}

TEST(Installer, TerminatingTheInstallerStopsTheChildItWaitsFor) {
  for (int sig : {SIGTERM, SIGINT}) {
    const std::string pipx =
        "echo $PPID > \"$Q9_FAKE_LOG.parent\"; echo $$ > \"$Q9_FAKE_LOG.child\"; exec sleep 30";
    Machine m({{"pipx", pipx}});
    Machine::Result r{};
    std::thread installer([&] { r = m.install({}, m.cfg()); });
    const std::string child = testing::wait_for_line(m.tmp / "log.child");
    const std::string parent = testing::wait_for_line(m.tmp / "log.parent");
    ASSERT_FALSE(parent.empty());
    ::kill(std::stoi(parent), sig);
    installer.join();
    EXPECT_EQ(r.status, -sig);
    for (int i = 0; i < 200 && testing::alive(child); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(testing::alive(child)) << "pipx outlived the installer (signal " << sig << ")";
  }
}

}  // namespace
}  // namespace q9::install
