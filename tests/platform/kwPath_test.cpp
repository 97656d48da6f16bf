#include "platform/kwPath.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(kwSplitPath, BothSlashesSeparateAndTheLastDotStartsTheExtension) {
  struct Case {
    const char* path;
    const char* directory;
    const char* baseName;
    const char* extension;
  };
  const Case cases[] = {
      {"/usr/lib/comp.so", "/usr/lib/", "comp", ".so"},
      {"sub\\comp.dll", "sub\\", "comp", ".dll"},
      {"a/b\\c.tar.gz", "a/b\\", "c.tar", ".gz"},
      {"comp", "", "comp", ""},
      {"dir.d/comp", "dir.d/", "comp", ""},
      {"/dir/.hidden", "/dir/", ".hidden", ""},
      {"/dir/", "/dir/", "", ""},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    kwPathParts parts = kwSplitPath(c.path);
    EXPECT_EQ(parts.directory, c.directory);
    EXPECT_EQ(parts.baseName, c.baseName);
    EXPECT_EQ(parts.extension, c.extension);
  }
}

TEST(kwGetExecutablePath, NamesThisTestAndFailsRatherThanCut) {
  char buffer[4096];
  std::size_t length = kwGetExecutablePath(buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(buffer[0], '/');
  EXPECT_EQ(std::string(kwSplitPath(buffer).baseName), "platform_test");
  EXPECT_EQ(kwGetExecutablePath(buffer, length), 0u);  // no room for the NUL
  EXPECT_EQ(kwGetExecutablePath(buffer, length + 1), length);
  EXPECT_EQ(kwGetExecutablePath(nullptr, 10), 0u);
}

}  // namespace
