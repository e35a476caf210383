// Tests of the normal form of path texts.
#include "core/path_text.hpp"

#include <gtest/gtest.h>

namespace q9::files {
namespace {

TEST(NormalPathText, DropsEmptyAndDotComponents) {
  const std::pair<std::string, std::string> cases[] = {
      {"./out//acme.html", "out/acme.html"},
      {"out/", "out"},
      {"rel/./a", "rel/a"},
      {".", "."},
      {"", "."},
      {"./", "."},
      {"/a/./b/", "/a/b"},
      {"/tmp//x/./y", "/tmp/x/y"},
      {"//a", "//a"},
      {"///a//", "/a"},
      {"/", "/"},
      {"a/../b", "a/../b"},
      {"<memory>", "<memory>"},
      {"~user/x", "~user/x"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normal_path_text(in), out) << in;
}

}  // namespace
}  // namespace q9::files
