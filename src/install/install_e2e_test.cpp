// End-to-end runs of the q9-install program with fake pipx, python3, q9 and burrowby on a
// PATH of their own, and a fresh home and configuration directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

#include "process/spawn.hpp"
#include "q9/version.hpp"
#include "testing/support.hpp"

extern char** environ;

namespace q9::install {
namespace {
using namespace std::chrono_literals;
using test::fake_program;
using test::read_text;
using test::TempDir;
using test::write_text;

const std::string VERSION = "q9infra " + std::string(q9::VERSION);
const std::string BANNER = "== Varnook Q9 installer (" + VERSION + ")\n";
const std::string WROTE = "== wrote 12 config files (agent, command, skill)\n";
const std::string DONE = "== done - restart opencode, then run: /varnook-q9 <company>\n";
const std::string WARN_BURROWBY = "!! burrowby not installed - retry with: pipx install burrowby\n";
const std::string WARN_PERSISTENT =
    "!! could not install persistently - retry: pipx install varnook-q9\n";
const std::string WARN_NO_PIPX =
    "!! q9 not on PATH and pipx unavailable - install pipx, then: pipx install varnook-q9\n";
const std::string INSTALLED_PERSISTENT =
    "== installed varnook-q9 persistently (q9, q9-install, burrowby)\n";
const std::string READY = "== q9 ready: " + VERSION + "\n";

const std::string OK = "exit 0", FAIL = "exit 1", VERSION_LINE = "echo '" + VERSION + "'";
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
  // The command line that runs the installer with only the given environment (`env`
  // adds "NAME=value" entries). `config_dir` nullopt leaves OPENCODE_CONFIG_DIR unset.
  std::vector<std::string> command(const std::vector<std::string>& args,
                                   std::optional<std::string> config_dir,
                                   const std::string& cwd = "",
                                   const std::vector<std::string>& env = {}) const {
    std::vector<std::string> argv = {"env",
                                     "-i",
                                     "--chdir=" + (cwd.empty() ? tmp.path().string() : cwd),
                                     "PATH=" + (tmp / "bin").string(),
                                     "HOME=" + (tmp / "home").string(),
                                     "Q9_FAKE_LOG=" + (tmp / "log").string()};
    if (config_dir) argv.push_back("OPENCODE_CONFIG_DIR=" + *config_dir);
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(Q9_BINARY_DIR "/src/install/q9-install");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  // Runs the installer with its output on pipes.
  Result install(const std::vector<std::string>& args,
                 std::optional<std::string> config_dir = std::nullopt, const std::string& cwd = "",
                 const std::vector<std::string>& env = {}) {
    process::RunResult r = process::run("/usr/bin/env", command(args, config_dir, cwd, env), 60s);
    return {r.status, r.out, r.err, read_text(tmp / "log")};
  }
  // Runs the installer with standard output and error on one pseudo-terminal, as in a
  // terminal window, and returns what it wrote there (output post-processing off, so
  // lines end in "\n"). `seen` is shown the screen so far after each read.
  std::string install_on_terminal(const std::vector<std::string>& args,
                                  std::optional<std::string> config_dir,
                                  const std::function<void(const std::string&)>& seen) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    const std::string slave = ::ptsname(master);
    int term = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    termios mode{};
    ::tcgetattr(term, &mode);
    mode.c_oflag &= ~OPOST;
    ::tcsetattr(term, TCSANOW, &mode);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, term, 1);
    posix_spawn_file_actions_adddup2(&actions, term, 2);
    posix_spawn_file_actions_addclose(&actions, master);
    const std::vector<std::string> argv = command(args, config_dir);
    std::vector<char*> ptrs;
    for (const std::string& a : argv) ptrs.push_back(const_cast<char*>(a.c_str()));
    ptrs.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/usr/bin/env", &actions, nullptr, ptrs.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(term);
    std::string screen;
    char buf[4096];
    // Reading ends with EIO once no process holds the terminal open.
    while (rc == 0) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) {
        screen.append(buf, n);
        seen(screen);
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    ::close(master);
    if (rc == 0) ::waitpid(pid, nullptr, 0);
    return screen;
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
       {{"burrowby", OK}, {"q9", "printf '  " + VERSION + " \\n\\n'; exit 2"}},
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
  // The signal comes while pipx runs, or in the moment between the start of pipx and the
  // installer's note of it, which used to end the installer alone.
  const std::string PIPX_WAITS =
      "echo $PPID > \"$Q9_FAKE_LOG.parent\"; echo $$ > \"$Q9_FAKE_LOG.child\"; exec sleep 30";
  for (bool as_it_starts : {false, true}) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
      const std::string what = std::string(as_it_starts ? "as pipx starts" : "while pipx runs") +
                               ", signal " + std::to_string(sig);
      Machine m({{"pipx", PIPX_WAITS}});
      std::vector<std::string> env;
      if (as_it_starts) {
        env = {"LD_PRELOAD=" Q9_SIGNAL_AFTER_SPAWN, "ASAN_OPTIONS=verify_asan_link_order=0",
               "Q9_SPAWNED_LOG=" + (m.tmp / "log.spawned").string(),
               "Q9_SIGNAL_AFTER_SPAWN=" + std::to_string(sig)};
      }
      Machine::Result r{};
      std::thread installer([&] { r = m.install({}, m.cfg(), "", env); });
      std::string child;
      if (as_it_starts) {
        child = test::wait_for_line(m.tmp / "log.spawned");
      } else {
        child = test::wait_for_line(m.tmp / "log.child");
        const std::string parent = test::wait_for_line(m.tmp / "log.parent");
        if (!parent.empty()) ::kill(std::stoi(parent), sig);
      }
      installer.join();
      ASSERT_FALSE(child.empty()) << what;
      EXPECT_EQ(r.status, -sig) << what;
      const bool ended = test::eventually([&] { return !test::alive(child); });
      EXPECT_TRUE(ended) << "pipx outlived the installer, " << what;
      if (!ended) ::kill(std::stoi(child), SIGKILL);
    }
  }
}

TEST(Installer, SlowStepShowsAStatusLineOnATerminalOnly) {
  // pipx takes its time over burrowby: until the test has seen the status line, or 30 s.
  const std::string PIPX_SLOW_ON_BURROWBY =
      "[ \"$2\" = burrowby ] || exit 0\n"
      "i=0; while [ ! -e \"$Q9_FAKE_LOG.seen\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); "
      "done";
  Machine m({{"pipx", PIPX_SLOW_ON_BURROWBY}});
  const std::string head = BANNER + "== config target: " + m.cfg() + "\n" + WROTE;
  const std::string tail = "== installed burrowby\n" + INSTALLED_PERSISTENT + DONE;
  const std::string DRAWN = "\r.. installing burrowby (0:0";
  const std::string screen = m.install_on_terminal({}, m.cfg(), [&](const std::string& shown) {
    if (shown.find(DRAWN) != std::string::npos) write_text(m.tmp / "log.seen", "");
  });
  ASSERT_TRUE(screen.starts_with(head) && screen.ends_with(tail) &&
              screen.size() >= head.size() + tail.size())
      << screen;
  // Drawn after two seconds, redrawn as the seconds change, then blanked out before the
  // step's line.
  const std::string status = screen.substr(head.size(), screen.size() - head.size() - tail.size());
  std::string expected;
  for (size_t at = 0, last = 1; (at = status.find(DRAWN, at)) != std::string::npos; ++at) {
    const size_t second = static_cast<size_t>(status[at + DRAWN.size()] - '0');
    EXPECT_GT(second, last) << status;
    last = second;
    expected += DRAWN + std::to_string(second) + ")";
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(status, expected + "\r" + std::string(29, ' ') + "\r");

  Machine::Result r = m.install({}, m.cfg());
  EXPECT_EQ(r.out, head + tail);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace q9::install
