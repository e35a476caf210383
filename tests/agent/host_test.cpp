// The configuration files as the real opencode host reads them: q9-install writes them
// into an isolated configuration directory, and the host's own debug commands must show
// the agent, the command and the skill with the fields the files declare. The host
// accepts a broken front matter without a word, so the fields are checked, not the exit
// status alone; the Broken* tests prove that the checks notice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "core/json.hpp"
#include "process/spawn.hpp"
#include "testing/support.hpp"

namespace q9::install {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::read_text;
using test::TempDir;
using test::write_text;

constexpr const char* kVersion = "1.18.33";

const json::Value* member(const json::Value* v, std::string_view key) {
  if (!v || !v->is_object()) return nullptr;
  return v->as_object().find(key);
}

std::string string_of(const json::Value* v) {
  return v && v->is_string() ? v->as_string() : "<absent>";
}

// The pinned host, as provision.sh leaves it in the cache folder.
fs::path opencode_in_cache() {
  const fs::path cache = Q9_HOST_CACHE;
  const fs::path bin = cache / "node_modules/.bin/opencode";
  std::string manifest = read_text(cache / "node_modules/opencode-ai/package.json");
  json::Value package = manifest.empty() ? json::Value() : json::parse(manifest, "package.json");
  if (!fs::exists(bin) || string_of(member(&package, "version")) != kVersion) {
    throw std::runtime_error("opencode-ai@" + std::string(kVersion) + " is not in " +
                             cache.string() + "; run tests/agent/provision.sh " + cache.string());
  }
  return bin;
}

// A host with nothing of the machine's own: home, XDG folders and the configuration
// directory all fresh.
struct Host {
  TempDir tmp;
  fs::path opencode = opencode_in_cache();
  fs::path cfg = tmp / "cfg";

  process::RunResult run_env(const fs::path& program, std::vector<std::string> args,
                             const fs::path& config) {
    std::vector<std::string> argv = {"env",
                                     "-i",
                                     "--chdir=" + tmp.path().string(),
                                     "PATH=/usr/bin:/bin",
                                     "HOME=" + (tmp / "home").string(),
                                     "OPENCODE_CONFIG_DIR=" + config.string()};
    for (const char* xdg : {"CONFIG", "DATA", "STATE", "CACHE"}) {
      argv.push_back("XDG_" + std::string(xdg) +
                     "_HOME=" + (tmp / ("xdg-" + std::string(xdg))).string());
    }
    argv.push_back("XDG_RUNTIME_DIR=" + (tmp / "xdg-runtime").string());
    argv.push_back("XDG_CONFIG_DIRS=" + (tmp / "xdg-config-dirs").string());
    argv.push_back("XDG_DATA_DIRS=" + (tmp / "xdg-data-dirs").string());
    argv.push_back(program.string());
    argv.insert(argv.end(), args.begin(), args.end());
    return process::run("/usr/bin/env", argv, 180s);
  }

  // `opencode <args> --pure` against `config`; fails the test on a non-zero status or
  // anything on standard error.
  std::string ask(std::vector<std::string> args, const fs::path& config) {
    args.push_back("--pure");
    process::RunResult r = run_env(opencode, args, config);
    EXPECT_EQ(r.status, 0) << "opencode " << args[0] << ": " << r.err;
    EXPECT_EQ(r.err, "") << "opencode " << args[0];
    return r.out;
  }

  void install() {
    fs::create_directories(tmp / "home");
    process::RunResult r = run_env(Q9_BINARY_DIR "/src/install/q9-install", {"--config-only"}, cfg);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(r.err, "");
  }

  // A copy of the installed configuration with one file replaced through `edit`.
  fs::path broken_copy(const std::string& rel,
                       const std::function<std::string(const std::string&)>& edit) {
    fs::path copy = tmp / "cfg-broken";
    fs::copy(cfg, copy, fs::copy_options::recursive);
    write_text(copy / rel, edit(read_text(copy / rel)));
    return copy;
  }
};

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// What is wrong with the agent in `opencode agent list`: it lists each agent as a line
// "<name> (<mode>)" followed by its permission rules as a JSON array.
std::vector<std::string> agent_list_problems(const std::string& listing) {
  const std::string head = "varnook-q9-agent (subagent)\n";
  size_t at = listing.find("\n" + head);
  if (at == std::string::npos && !listing.starts_with(head)) return {"no line " + head};
  size_t start = listing.find('\n', at == std::string::npos ? 0 : at + 1) + 1;
  // The rules end where the next agent's line "<name> (<mode>)" begins.
  size_t end = start;
  while (end < listing.size()) {
    size_t eol = listing.find('\n', end);
    if (eol == std::string::npos) eol = listing.size();
    std::string_view line(listing.data() + end, eol - end);
    bool header =
        !line.empty() && line[0] != ' ' && line[0] != ']' &&
        (line.ends_with(" (primary)") || line.ends_with(" (subagent)") || line.ends_with(" (all)"));
    if (header) break;
    end = eol + 1;
  }
  std::string block = listing.substr(start, std::min(end, listing.size()) - start);
  json::Value rules = json::parse(block, "agent list");
  std::vector<std::string> problems;
  for (std::string tool : {"edit", "bash", "webfetch", "websearch"}) {
    bool allowed = false;
    for (const json::Value& rule : rules.as_array()) {
      allowed = allowed || (string_of(member(&rule, "permission")) == tool &&
                            string_of(member(&rule, "action")) == "allow" &&
                            string_of(member(&rule, "pattern")) == "*");
    }
    if (!allowed) problems.push_back("agent list: no rule allowing " + tool);
  }
  return problems;
}

// What is wrong with the agent and the command in `opencode debug config`.
std::vector<std::string> config_problems(const std::string& text) {
  json::Value config = json::parse(text, "debug config");
  std::vector<std::string> problems;
  auto expect = [&](bool ok, const std::string& what) {
    if (!ok) problems.push_back(what);
  };
  const json::Value* agent = member(member(&config, "agent"), "varnook-q9-agent");
  expect(agent != nullptr, "no agent varnook-q9-agent");
  expect(string_of(member(agent, "mode")) == "subagent",
         "agent mode: " + string_of(member(agent, "mode")));
  expect(
      string_of(member(agent, "description")) ==
          "Varnook Q9 - builds comprehensive corporate research reports (Company Dossiers) for "
          "publicly traded or private companies. Generates a single dark-mode HTML file with org "
          "charts, ownership structures, board profiles, financials, and competitive analysis. "
          "Use when asked to research a company, build a corporate report, create a company "
          "dossier, or generate equity research.",
      "agent description: " + string_of(member(agent, "description")));
  const json::Value* permission = member(agent, "permission");
  expect(permission && permission->is_object() && permission->as_object().size() == 5,
         "agent permission is not five entries");
  for (const char* tool : {"edit", "bash", "webfetch", "websearch"}) {
    expect(string_of(member(permission, tool)) == "allow", std::string("agent permission ") + tool);
  }
  const json::Value* outside = member(permission, "external_directory");
  expect(outside && outside->is_object() && outside->as_object().size() == 4,
         "agent external_directory is not four entries");
  for (const auto& [pattern, action] :
       std::vector<std::pair<std::string, std::string>>{{"/tmp/q9-*", "allow"},
                                                        {"~/Desktop/*", "allow"},
                                                        {"~/Desktop/*/*", "ask"},
                                                        {"~/Desktop/q9-reports/*", "allow"}}) {
    expect(string_of(member(outside, pattern)) == action, "agent external_directory " + pattern);
  }
  const std::string prompt = string_of(member(agent, "prompt"));
  expect(prompt.starts_with("You are Varnook Q9 Agent."), "agent prompt does not open the body");
  for (const char* heading : {"## TOOLING — THE q9 COMMAND", "## RESEARCH MANDATE", "## ASSEMBLY",
                              "## REPORT REQUIREMENTS", "## NON-NEGOTIABLES"}) {
    expect(prompt.find(heading) != std::string::npos, std::string("agent prompt lacks ") + heading);
  }

  const json::Value* command = member(member(&config, "command"), "varnook-q9");
  expect(command != nullptr, "no command varnook-q9");
  expect(string_of(member(command, "agent")) == "varnook-q9-agent",
         "command agent: " + string_of(member(command, "agent")));
  const json::Value* subtask = member(command, "subtask");
  expect(subtask && subtask->is_bool() && !subtask->as_bool(), "command subtask is not false");
  expect(string_of(member(command, "description")) ==
             "Research a company and build a corporate dossier report using Varnook Q9 Agent",
         "command description: " + string_of(member(command, "description")));
  const std::string tmpl = string_of(member(command, "template"));
  expect(tmpl.starts_with("Research $ARGUMENTS and build a comprehensive corporate dossier."),
         "command template opens with: " + tmpl.substr(0, 60));
  expect(tmpl.find("Company to research: $ARGUMENTS") != std::string::npos,
         "command template lacks the company line");
  expect(count(tmpl, "$ARGUMENTS") == 2, "command template: $ARGUMENTS not twice");
  expect(tmpl.find("\n---") == std::string::npos, "command template holds front matter");
  return problems;
}

// What is wrong with the skill in `opencode debug skill`.
std::vector<std::string> skill_problems(const std::string& text, const fs::path& cfg) {
  json::Value skills = json::parse(text, "debug skill");
  const json::Value* skill = nullptr;
  for (const json::Value& s : skills.as_array()) {
    if (string_of(member(&s, "name")) == "q9-research") skill = &s;
  }
  if (!skill) return {"no skill q9-research"};
  std::vector<std::string> problems;
  auto expect = [&](bool ok, const std::string& what) {
    if (!ok) problems.push_back(what);
  };
  expect(string_of(member(skill, "location")) == (cfg / "skills/q9-research/SKILL.md").string(),
         "skill location: " + string_of(member(skill, "location")));
  const std::string description = string_of(member(skill, "description"));
  expect(!description.empty(), "skill description empty");
  // The host counts characters; count code points.
  size_t chars = 0;
  for (unsigned char c : description) chars += (c & 0xC0) != 0x80;
  expect(chars <= 1024, "skill description has " + std::to_string(chars) + " characters");
  for (const char* part :
       {"15 platforms, multi-backend routing (OpenCLI / per-platform CLIs / APIs).",
        "Zero config for 6 channels.", "burrowby doctor --json"}) {
    expect(description.find(part) != std::string::npos,
           std::string("skill description lacks ") + part);
  }
  const std::string content = string_of(member(skill, "content"));
  expect(content.find("# Burrowby — 互联网能力路由器") != std::string::npos,
         "skill body lacks its title");
  expect(content.find("name: q9-research") == std::string::npos, "skill body holds front matter");
  return problems;
}

std::string join(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += p + "\n";
  return text;
}

class RealHost : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(host.install()); }
  Host host;
};

TEST_F(RealHost, LoadsTheAgentAsASubagentWithItsPermissions) {
  EXPECT_EQ(join(agent_list_problems(host.ask({"agent", "list"}, host.cfg))), "");
}

TEST_F(RealHost, LoadsTheAgentAndTheCommandBoundToIt) {
  EXPECT_EQ(join(config_problems(host.ask({"debug", "config"}, host.cfg))), "");
}

TEST_F(RealHost, LoadsTheSkillWithItsDescription) {
  EXPECT_EQ(join(skill_problems(host.ask({"debug", "skill"}, host.cfg), host.cfg)), "");
}

// The checks above must see what the host makes of damaged files.
TEST_F(RealHost, BrokenFrontMatterIsNoticed) {
  auto drop_first_line = [](const std::string& text) { return text.substr(text.find('\n') + 1); };
  fs::path command = host.broken_copy("command/varnook-q9.md", drop_first_line);
  EXPECT_NE(join(config_problems(host.ask({"debug", "config"}, command))), "");
  fs::remove_all(command);

  fs::path agent = host.broken_copy("agent/varnook-q9-agent.md", [](const std::string& text) {
    std::string edited = text;
    size_t at = edited.find("\nmode: subagent\n");
    return at == std::string::npos ? edited : edited.replace(at, 16, "\nmode: all\n");
  });
  EXPECT_NE(join(agent_list_problems(host.ask({"agent", "list"}, agent))), "");
  fs::remove_all(agent);

  fs::path skill = host.broken_copy("skills/q9-research/SKILL.md", drop_first_line);
  EXPECT_NE(join(skill_problems(host.ask({"debug", "skill"}, skill), skill)), "");
}

}  // namespace
}  // namespace q9::install
