// Tests of the embedded catalogue: its order and its match with the source files, the
// front matter the host reads, what the files say of each other and of q9, the strict
// base64 decoder and the build-time generator's refusal of unclean sources. The wording
// of the files is theirs: nothing here restates it.
#include "assets/assets.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/read_file.hpp"
#include "core/utf8.hpp"

namespace q9::assets {
namespace {

namespace fs = std::filesystem;

const char* const AGENT = "agent/varnook-q9-agent.md";
const char* const COMMAND = "command/varnook-q9.md";
const char* const SKILL = "skills/q9-research/SKILL.md";
const char* const REFS = "skills/q9-research/references/";

std::string payload(std::string_view path) {
  for (const Asset& asset : ASSETS) {
    if (asset.path == path) {
      auto bytes = decode_base64(asset.base64);
      if (!bytes) ADD_FAILURE() << path << ": payload is not strict base64";
      return bytes.value_or("");
    }
  }
  ADD_FAILURE() << path << ": not in the catalogue";
  return "";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// A parsed front-matter block: keys in order ("parent.child" for nested maps)
// and the body after the closing "---". Understands the subset the files use
// the way a YAML reader does: plain and double-quoted scalars, one level of
// nested map, and a folded block (">", clip chomping).
struct FrontMatter {
  std::vector<std::pair<std::string, std::string>> entries;
  std::string body;

  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& [key, value] : entries) out.push_back(key);
    return out;
  }
  std::string get(const std::string& key) const {
    for (const auto& [k, v] : entries)
      if (k == key) return v;
    ADD_FAILURE() << "no front-matter key " << key;
    return "";
  }
};

std::string scalar(std::string raw) {
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
    return raw.substr(1, raw.size() - 2);
  return raw;
}

FrontMatter front_matter(const std::string& text) {
  FrontMatter fm;
  if (text.rfind("---\n", 0) != 0) {
    ADD_FAILURE() << "no opening ---";
    return fm;
  }
  size_t close = text.find("\n---\n", 3);
  if (close == std::string::npos) {
    ADD_FAILURE() << "no closing ---";
    return fm;
  }
  fm.body = text.substr(close + 5);
  std::vector<std::string> lines = lines_of(text.substr(4, close - 3));
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    size_t colon = line.find(':');
    EXPECT_NE(colon, std::string::npos) << "not a key line: " << line;
    if (colon == std::string::npos || line.empty() || line[0] == ' ') continue;
    std::string key = line.substr(0, colon);
    std::string rest = line.substr(colon + 1);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    if (rest == ">") {
      // Folded: lines of a paragraph join with a space, a blank line ends a paragraph.
      std::string value;
      bool fresh = true;
      while (i + 1 < lines.size() && (lines[i + 1].empty() || lines[i + 1].rfind("  ", 0) == 0)) {
        const std::string& next = lines[++i];
        if (next.empty()) {
          value += '\n';
          fresh = true;
          continue;
        }
        EXPECT_NE(next[2], ' ') << "more-indented line keeps its break: " << next;
        if (!fresh) value += ' ';
        value += next.substr(2);
        fresh = false;
      }
      fm.entries.emplace_back(key, value + "\n");
    } else if (rest.empty()) {
      // Nested maps, two spaces a level; a key without a value opens the next level.
      std::string path = key;
      std::vector<size_t> opened = {key.size()};
      while (i + 1 < lines.size() && lines[i + 1].rfind("  ", 0) == 0) {
        const std::string& next = lines[++i];
        size_t indent = next.find_first_not_of(' ');
        size_t level = indent / 2;
        EXPECT_TRUE(indent % 2 == 0 && level <= opened.size()) << "bad indent: " << next;
        if (indent % 2 != 0 || level > opened.size()) continue;
        opened.resize(level);
        path.resize(opened.back());
        size_t c = next.rfind(':');
        std::string name = scalar(next.substr(indent, c - indent));
        if (c + 1 == next.size()) {
          path += "." + name;
          opened.push_back(path.size());
          continue;
        }
        EXPECT_EQ(next.compare(c, 2, ": "), 0) << "nested value missing: " << next;
        fm.entries.emplace_back(path + "." + name, scalar(next.substr(c + 2)));
      }
    } else {
      fm.entries.emplace_back(key, scalar(rest));
    }
  }
  return fm;
}

// The words of every `q9 ...` code span, in order of appearance.
std::vector<std::vector<std::string>> q9_spans(const std::string& text) {
  std::vector<std::vector<std::string>> spans;
  for (size_t at = text.find("`q9 "); at != std::string::npos; at = text.find("`q9 ", at + 1)) {
    size_t end = text.find('`', at + 1);
    if (end == std::string::npos) break;
    std::vector<std::string> words;
    std::string span = text.substr(at + 1, end - at - 1);
    for (size_t w = 0; w < span.size();) {
      size_t next = span.find(' ', w);
      if (next == std::string::npos) next = span.size();
      words.push_back(span.substr(w, next - w));
      w = next + 1;
    }
    spans.push_back(words);
    at = end;
  }
  return spans;
}

bool is_slug(const std::string& name) {  // [a-z0-9]+(-[a-z0-9]+)*
  if (name.empty() || name.front() == '-' || name.back() == '-') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c == '-' && name[i - 1] != '-');
    if (!ok) return false;
  }
  return true;
}

TEST(Catalogue, HoldsTheTwelveFilesInWritingOrder) {
  const std::vector<std::string> expected = {AGENT,
                                             COMMAND,
                                             SKILL,
                                             std::string(REFS) + "career.md",
                                             std::string(REFS) + "dev.md",
                                             std::string(REFS) + "finance.md",
                                             std::string(REFS) + "install.md",
                                             std::string(REFS) + "search.md",
                                             std::string(REFS) + "social.md",
                                             std::string(REFS) + "update.md",
                                             std::string(REFS) + "video.md",
                                             std::string(REFS) + "web.md"};
  ASSERT_EQ(ASSETS.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(ASSETS[i].path, expected[i]) << "entry " << i;
}

// The build must regenerate the catalogue whenever a source file changes.
TEST(Catalogue, MatchesTheSourceFilesByteForByte) {
  for (const Asset& asset : ASSETS) {
    fs::path source = fs::path(Q9_SOURCE_DIR) / "src/assets/files" / std::string(asset.path);
    EXPECT_EQ(payload(asset.path), files::read_file(source)) << asset.path;
  }
}

TEST(AgentFile, FrontMatterIsFixed) {
  FrontMatter fm = front_matter(payload(AGENT));
  const std::string outside = "permission.external_directory.";
  EXPECT_EQ(fm.keys(),
            (std::vector<std::string>{
                "description", "mode", "permission.edit", "permission.bash", "permission.webfetch",
                "permission.websearch", outside + "/tmp/q9-*", outside + "~/Desktop/*",
                outside + "~/Desktop/*/*", outside + "~/Desktop/q9-reports/*"}));
  EXPECT_EQ(
      fm.get("description"),
      "Varnook Q9 - builds comprehensive corporate research reports (Company Dossiers) for "
      "publicly traded or private companies. Generates a single dark-mode HTML file with org "
      "charts, ownership structures, board profiles, financials, and competitive analysis. Use "
      "when asked to research a company, build a corporate report, create a company dossier, or "
      "generate equity research.");
  EXPECT_EQ(fm.get("mode"), "subagent");
  for (const char* tool : {"edit", "bash", "webfetch", "websearch"})
    EXPECT_EQ(fm.get(std::string("permission.") + tool), "allow") << tool;
  // The work and save folders lie outside the workspace; creating the save folder
  // touches ~/Desktop itself, and other folders below it stay behind a question.
  EXPECT_EQ(fm.get(outside + "/tmp/q9-*"), "allow");
  EXPECT_EQ(fm.get(outside + "~/Desktop/*"), "allow");
  EXPECT_EQ(fm.get(outside + "~/Desktop/*/*"), "ask");
  EXPECT_EQ(fm.get(outside + "~/Desktop/q9-reports/*"), "allow");
}

// Every q9 command line the agent is told to run must be one the command takes:
// a known subcommand, and for memory only the actions it accepts.
TEST(AgentFile, EveryQ9CommandLineUsesARealSubcommand) {
  const std::set<std::string> subcommands = {"validate", "memory",  "record", "report",
                                             "doctrine", "streams", "version"};
  const std::map<std::string, std::set<std::string>> actions = {
      {"memory", {"recall", "init", "list"}},
      {"record", {"fact", "negative", "contradiction", "report"}}};
  std::string body = front_matter(payload(AGENT)).body;
  auto spans = q9_spans(body);
  for (const auto& words : spans) {
    ASSERT_GE(words.size(), 2u);
    EXPECT_TRUE(subcommands.count(words[1])) << words[1];
    if (auto a = actions.find(words[1]); a != actions.end() && words.size() > 2) {
      EXPECT_TRUE(a->second.count(words[2])) << words[1] << " " << words[2];
    }
  }
  EXPECT_FALSE(spans.empty());
}

// A refresh once wrote its "version 1" over the first dossier. The agent's snippet that
// makes the run's work folder and picks the file name must skip every taken name, and
// give each run a folder of its own; it is run as the agent's shell would run it.
TEST(AgentFile, FreeNameSnippetNeverPicksATakenName) {
  std::string body = front_matter(payload(AGENT)).body;
  size_t start = body.find("```bash\nmktemp -d ");
  ASSERT_NE(start, std::string::npos);
  start += 8;
  const std::string snippet = body.substr(start, body.find("```", start) - start);
  const fs::path home = fs::temp_directory_path() / ("q9-version-" + std::to_string(::getpid()));
  const fs::path saved = home / "Desktop/q9-reports";
  struct Case {
    const char* n;
    std::vector<std::string> taken;
    const char* expected;
  };
  const Case cases[] = {
      {"1", {}, "version 1 file acme-report"},
      {"1", {"acme-report.html"}, "version 2 file acme-report-v2"},
      {"2", {"acme-report-v2.json"}, "version 3 file acme-report-v3"},
      {"2", {"acme-report-v2.audit.json", "acme-report-v3.html"}, "version 4 file acme-report-v4"},
      {"3", {"acme-report.html", "acme-report-v2.html"}, "version 3 file acme-report-v3"},
  };
  std::set<std::string> folders;
  for (const Case& c : cases) {
    fs::remove_all(home);
    fs::create_directories(saved);
    for (const std::string& name : c.taken) std::ofstream(saved / name) << "earlier\n";
    std::string script = snippet;
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"<slug>", "acme"}, {"<n>", c.n}})
      for (size_t at = script.find(from); at != std::string::npos; at = script.find(from, at))
        script.replace(at, from.size(), to);
    std::ofstream(home / "pick.sh") << script;
    const std::string out = (home / "out").string();
    std::string command =
        "env -i HOME=" + home.string() + " /bin/bash " + (home / "pick.sh").string() + " > " + out;
    ASSERT_EQ(std::system(command.c_str()), 0) << script;
    std::vector<std::string> lines = lines_of(files::read_file(out));
    ASSERT_EQ(lines.size(), 2u) << files::read_file(out);
    EXPECT_EQ(lines[1], c.expected) << "taken: " << c.taken.size() << ", n " << c.n;
    EXPECT_EQ(lines[0].rfind("/tmp/q9-acme-", 0), 0u) << lines[0];
    EXPECT_TRUE(fs::is_directory(lines[0]) && folders.insert(lines[0]).second) << lines[0];
    for (const std::string& name : c.taken) EXPECT_EQ(files::read_file(saved / name), "earlier\n");
  }
  for (const std::string& folder : folders) fs::remove_all(folder);
  fs::remove_all(home);
}

TEST(CommandFile, FrontMatterIsFixedAndBindsTheAgent) {
  FrontMatter fm = front_matter(payload(COMMAND));
  EXPECT_EQ(fm.keys(), (std::vector<std::string>{"description", "agent", "subtask"}));
  // Run in the calling session, where the agent has the task tool for its sub-agents.
  EXPECT_EQ(fm.get("subtask"), "false");
  EXPECT_EQ(fm.get("description"),
            "Research a company and build a corporate dossier report using Varnook Q9 Agent");
  EXPECT_EQ(fm.get("agent"), fs::path(AGENT).stem().string());
}

// The agent and the command must name the same desktop folder and file name, and the
// folder must be the one the agent may write in (as the host writes it, with "~").
TEST(CommandFile, SavesWhereTheAgentSaves) {
  std::string agent = payload(AGENT), command = payload(COMMAND);
  size_t file = agent.find("/<slug>-report.html");
  size_t start = agent.rfind("$HOME/Desktop/", file);
  ASSERT_NE(file, std::string::npos);
  ASSERT_NE(start, std::string::npos);
  std::string folder = agent.substr(start, file + 1 - start);
  EXPECT_EQ(folder.find_first_of(" `\n"), std::string::npos) << folder;
  EXPECT_NE(command.find(folder), std::string::npos) << folder;
  EXPECT_NE(command.find("`<slug>-report.html`"), std::string::npos);
  EXPECT_EQ(front_matter(agent).get("permission.external_directory.~" + folder.substr(5) + "*"),
            "allow");
}

TEST(SkillFile, FrontMatterSatisfiesTheHost) {
  FrontMatter fm = front_matter(payload(SKILL));
  EXPECT_EQ(fm.keys(), (std::vector<std::string>{"name", "description", "metadata.homepage"}));
  EXPECT_EQ(fm.get("name"), "q9-research");
  EXPECT_EQ(fm.get("name"), fs::path(SKILL).parent_path().filename().string());
  EXPECT_TRUE(is_slug(fm.get("name")));
  // A bare empty value would read as null; the host wants a map of strings.
  EXPECT_NE(payload(SKILL).find("\n  homepage: \"\"\n"), std::string::npos);
  // The host refuses a skill whose description is empty or over 1024 characters.
  const size_t length = utf8::length(fm.get("description"));
  EXPECT_TRUE(length >= 1 && length <= 1024) << length;
}

// Every reference the skill points to is shipped.
TEST(SkillFile, EveryReferenceIsShipped) {
  std::string body = front_matter(payload(SKILL)).body;
  size_t checked = 0;
  for (size_t at = body.find("references/"); at != std::string::npos;
       at = body.find("references/", at + 1)) {
    size_t end = body.find(".md", at);
    std::string name = body.substr(at + 11, end == std::string::npos ? 0 : end - at - 11);
    if (name.empty() || name == "*" || !is_slug(name)) continue;
    bool shipped = false;
    for (const Asset& asset : ASSETS) shipped |= asset.path == std::string(REFS) + name + ".md";
    EXPECT_TRUE(shipped) << name;
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

// The skill's source log lies beside the memory store, below the configuration folder
// that OPENCODE_CONFIG_DIR names. The host loads every Markdown file below agent/ as an
// agent definition, so the log must be created with "disable: true", or the first
// research run adds a stray agent "memory/sources" to the host. The skill's own snippet
// is run as the agent's shell would run it.
TEST(SkillFile, SourceLogFollowsTheConfigFolderAndIsNotLoadedAsAnAgent) {
  std::string body = front_matter(payload(SKILL)).body;
  size_t start = body.find("```bash\nd=${OPENCODE_CONFIG_DIR");
  ASSERT_NE(start, std::string::npos);
  start += 8;
  const std::string snippet = body.substr(start, body.find("```", start) - start);
  const fs::path dir = fs::temp_directory_path() / ("q9-sources-" + std::to_string(::getpid()));
  const std::string home = (dir / "home").string();
  const std::pair<std::string, fs::path> cases[] = {
      {"", dir / "home/.config/opencode"},
      {"'~/cfg'", dir / "home/cfg"},
      {(dir / "cfg").string(), dir / "cfg"},
  };
  for (const auto& [config, expected] : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir / "home");
    std::ofstream(dir / "log.sh") << snippet << snippet;  // twice: the header only once
    std::string command = "env -i HOME=" + home + " OPENCODE_CONFIG_DIR=" + config + " /bin/bash " +
                          (dir / "log.sh").string();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::string log = files::read_file(expected / "agent/memory/sources.md");
    EXPECT_EQ(log.rfind("---\ndisable: true\n---\n\n", 0), 0u) << expected;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
  }
  fs::remove_all(dir);
}

struct DecodeCase {
  const char* text;
  std::optional<std::string> bytes;
};

TEST(DecodeBase64, AcceptsOnlyStrictCanonicalText) {
  const DecodeCase cases[] = {
      {"", std::string()},
      {"Zg==", std::string("f")},
      {"Zm8=", std::string("fo")},
      {"Zm9v", std::string("foo")},
      {"Zm9vYg==", std::string("foob")},
      {"Zm9vYmE=", std::string("fooba")},
      {"Zm9vYmFy", std::string("foobar")},
      {"+/+/", std::string("\xfb\xff\xbf")},
      {"AA==", std::string(1, '\0')},
      {"Zg", std::nullopt},     // padding missing
      {"Zg=", std::nullopt},    // padding short
      {"Zg===", std::nullopt},  // padding long
      {"Zh==", std::nullopt},   // non-zero bits under the padding
      {"Zm9=", std::nullopt},   // the same with one '='
      {"Z===", std::nullopt},   // three '='
      {"====", std::nullopt},
      {"Zg==Zg==", std::nullopt},  // padding in the middle
      {"Zm=v", std::nullopt},
      {"Zm9v\n", std::nullopt},  // white space
      {"Zm 9v", std::nullopt},
      {" Zm9v", std::nullopt},
      {"Zm9-", std::nullopt},  // URL-safe alphabet
      {"Zm9_", std::nullopt},
      {"Zm9v.===", std::nullopt},
      {"Zm\x80v", std::nullopt},
      {"Z!==", std::nullopt},  // stray character in the padded group
      {"Zm!=", std::nullopt},
      {"Zm9vZm9vZg==", std::string("foofoof")},
  };
  for (const DecodeCase& c : cases)
    EXPECT_EQ(decode_base64(c.text), c.bytes) << "'" << c.text << "'";
}

// The generator must stop the build on a source file that is not clean text.
TEST(EmbedAssets, RefusesUncleanSources) {
  const fs::path tool = fs::path(Q9_BINARY_DIR) / "src/assets/embed_assets";
  const fs::path dir = fs::temp_directory_path() / ("q9-embed-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::pair<const char*, std::string> cases[] = {
      {"ok", "text\n"},
      {"carriage return", "text\r\n"},
      {"no final newline", "text"},
      {"two final newlines", "text\n\n"},
      {"empty", ""},
      {"byte-order mark", "\xEF\xBB\xBFtext\n"},
      {"bad UTF-8", "caf\xE9\n"},
  };
  for (const auto& [name, bytes] : cases) {
    std::ofstream(dir / "a.md", std::ios::binary) << bytes;
    std::string command =
        tool.string() + " " + (dir / "out.cpp").string() + " " + dir.string() + " a.md 2>/dev/null";
    int status = std::system(command.c_str());
    EXPECT_EQ(status == 0, std::string(name) == "ok") << name;
  }
  std::string generated = files::read_file(dir / "out.cpp");
  EXPECT_NE(generated.find("{\"a.md\",\n     \"dGV4dAo=\"\n    },"), std::string::npos)
      << generated;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace q9::assets
