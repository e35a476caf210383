// Tests of the configuration directory's resolution from the environment.
#include "core/config_dir.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "testing/support.hpp"

namespace q9 {
namespace {

using test::ScopedEnv;

TEST(ConfigDir, ResolvesFromTheEnvironment) {
  ScopedEnv home("HOME", "/home/analyst/");
  struct {
    std::optional<std::string> env;
    std::string expected;
  } rows[] = {
      {std::nullopt, "/home/analyst/.config/opencode"},
      {"", "/home/analyst/.config/opencode"},
      {"/srv/oc", "/srv/oc"},
      {"rel/dir", "rel/dir"},
      {"~/cfg", "/home/analyst/cfg"},
      {"~", "/home/analyst"},
      {"$HOME/x", "$HOME/x"},
      {"~no-such-user-q9/x", "~no-such-user-q9/x"},
  };
  for (const auto& row : rows) {
    ScopedEnv cfg("OPENCODE_CONFIG_DIR", row.env);
    EXPECT_EQ(config_dir().string(), row.expected) << row.env.value_or("(unset)");
  }
}

TEST(ConfigDir, FallsBackToTheUserDatabaseWithoutHome) {
  ScopedEnv home("HOME", std::nullopt);
  ScopedEnv cfg("OPENCODE_CONFIG_DIR", std::nullopt);
  const passwd* pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  std::string dir = pw->pw_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  EXPECT_EQ(config_dir().string(), (dir == "/" ? "" : dir) + "/.config/opencode");
  ScopedEnv user_cfg("OPENCODE_CONFIG_DIR", std::string("~") + pw->pw_name + "/c");
  EXPECT_EQ(config_dir().string(), (dir == "/" ? "" : dir) + "/c");
}

}  // namespace
}  // namespace q9
